#include "core/termination_signals.h"

#ifdef Q_OS_UNIX
#include <QSocketNotifier>

#include <csignal>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace veltrane {

#ifdef Q_OS_UNIX
namespace {

int gSignalPipe[2] = {-1, -1};

void onSignal(int)
{
    // Only async-signal-safe work here: wake the event loop through the pipe.
    const char byte = 1;
    [[maybe_unused]] const auto written = ::write(gSignalPipe[0], &byte, 1);
}

} // namespace

void OnTerminationSignals(QObject* owner, std::function<void()> handler)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, gSignalPipe) != 0) {
        return;
    }
    auto* notifier = new QSocketNotifier(gSignalPipe[1], QSocketNotifier::Read, owner);
    QObject::connect(notifier, &QSocketNotifier::activated, owner, [handler = std::move(handler)] {
        char byte = 0;
        [[maybe_unused]] const auto n = ::read(gSignalPipe[1], &byte, 1);
        handler();
    });
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
}
#else
void OnTerminationSignals(QObject*, std::function<void()>)
{
}
#endif

} // namespace veltrane
