#include "loopback_peer.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace veltrane::test {

namespace {

// How often a blocked peer looks whether it is being torn down.
constexpr int kSliceMs = 50;

struct PeerStopped
{
};

[[noreturn]] void SystemFailure(const char* what)
{
    throw std::runtime_error(std::string(what) + ": " + std::strerror(errno));
}

int LoopbackSocket(sockaddr_in& address)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        SystemFailure("socket");
    }
    address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        SystemFailure("bind");
    }
    socklen_t len = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &len);
    return fd;
}

} // namespace

// --- PeerClient ---------------------------------------------------------

void PeerClient::waitReadable()
{
    for (;;) {
        if (FPeer.stopping()) {
            throw PeerStopped{};
        }
        pollfd p{FFd, POLLIN, 0};
        const int n = ::poll(&p, 1, kSliceMs);
        if (n > 0) {
            return;
        }
        if (n < 0 && errno != EINTR) {
            SystemFailure("poll");
        }
    }
}

void PeerClient::Send(const QByteArray& bytes)
{
    qsizetype sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n =
            ::send(FFd, bytes.constData() + sent, std::size_t(bytes.size() - sent), MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            SystemFailure("send");
        }
        sent += n;
    }
}

QByteArray PeerClient::ReceiveExactly(qsizetype count)
{
    QByteArray got;
    while (got.size() < count) {
        waitReadable();
        char buffer[4096];
        const ssize_t n = ::recv(
            FFd, buffer, std::min<std::size_t>(sizeof buffer, std::size_t(count - got.size())), 0);
        if (n == 0) {
            throw std::runtime_error("the client closed after " + std::to_string(got.size()) +
                                     " of " + std::to_string(count) + " bytes");
        }
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            SystemFailure("recv");
        }
        got.append(buffer, n);
    }
    return got;
}

QByteArray PeerClient::ReceiveUntilClosed()
{
    QByteArray got;
    for (;;) {
        waitReadable();
        char buffer[4096];
        const ssize_t n = ::recv(FFd, buffer, sizeof buffer, 0);
        if (n == 0) {
            return got;
        }
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            SystemFailure("recv");
        }
        got.append(buffer, n);
    }
}

void PeerClient::Close()
{
    ::close(FFd);
    FFd = -1;
}

void PeerClient::Reset()
{
    const linger abortive{1, 0};
    ::setsockopt(FFd, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
    Close();
}

void PeerClient::WaitGo()
{
    std::unique_lock lock(FPeer.FMutex);
    FPeer.FChanged.wait(lock, [this] { return FPeer.FStop || FPeer.FGo > 0; });
    if (FPeer.FStop) {
        throw PeerStopped{};
    }
    --FPeer.FGo;
}

void PeerClient::Done()
{
    {
        std::lock_guard lock(FPeer.FMutex);
        ++FPeer.FDone;
    }
    FPeer.FChanged.notify_all();
}

// --- LoopbackPeer ---------------------------------------------------------

LoopbackPeer::LoopbackPeer(int backlog)
{
    sockaddr_in address;
    FListenFd = LoopbackSocket(address);
    if (::listen(FListenFd, backlog) != 0) {
        ::close(FListenFd);
        SystemFailure("listen");
    }
    FPort = ntohs(address.sin_port);
}

LoopbackPeer::~LoopbackPeer()
{
    {
        std::lock_guard lock(FMutex);
        FStop = true;
    }
    FChanged.notify_all();
    if (FThread.joinable()) {
        FThread.join();
    }
    if (FClient.FFd >= 0) {
        ::close(FClient.FFd);
    }
    ::close(FListenFd);
}

bool LoopbackPeer::stopping()
{
    std::lock_guard lock(FMutex);
    return FStop;
}

void LoopbackPeer::Serve(std::function<void(PeerClient&)> script)
{
    Finish();
    {
        std::lock_guard lock(FMutex);
        FScriptEnded = false;
        FGo = 0;
        FDone = 0;
    }
    FError.clear();
    FThread = std::thread([this, script = std::move(script)] { run(script); });
}

void LoopbackPeer::run(const std::function<void(PeerClient&)>& script)
{
    try {
        for (;;) {
            if (stopping()) {
                throw PeerStopped{};
            }
            pollfd p{FListenFd, POLLIN, 0};
            if (::poll(&p, 1, kSliceMs) > 0) {
                break;
            }
        }
        if (FClient.FFd >= 0) {
            ::close(FClient.FFd);
        }
        FClient.FFd = ::accept(FListenFd, nullptr, nullptr);
        if (FClient.FFd < 0) {
            SystemFailure("accept");
        }
        script(FClient);
    } catch (const PeerStopped&) {
        FError = QStringLiteral("peer stopped before its script ended");
    } catch (const std::exception& e) {
        FError = QString::fromUtf8(e.what());
    }
    {
        std::lock_guard lock(FMutex);
        FScriptEnded = true;
    }
    FChanged.notify_all();
}

QString LoopbackPeer::Finish()
{
    if (FThread.joinable()) {
        FThread.join();
    }
    return FError;
}

void LoopbackPeer::Go()
{
    {
        std::lock_guard lock(FMutex);
        ++FGo;
    }
    FChanged.notify_all();
}

bool LoopbackPeer::WaitDone()
{
    std::unique_lock lock(FMutex);
    FChanged.wait(lock, [this] { return FDone > 0 || FScriptEnded; });
    if (FDone == 0) {
        return false;
    }
    --FDone;
    return true;
}

// --- RefusingPort ---------------------------------------------------------

RefusingPort::RefusingPort()
{
    sockaddr_in address;
    FFd = LoopbackSocket(address);
    FPort = ntohs(address.sin_port);
}

RefusingPort::~RefusingPort()
{
    ::close(FFd);
}

// --- SilentListener -------------------------------------------------------

SilentListener::SilentListener()
{
    sockaddr_in address;
    FListenFd = LoopbackSocket(address);
    if (::listen(FListenFd, 0) != 0) {
        ::close(FListenFd);
        SystemFailure("listen");
    }
    FPort = ntohs(address.sin_port);

    // Connect until one attempt is no longer answered: from then on the
    // listener drops new attempts without a word.
    for (int i = 0; i < 64 && !FReady; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL, 0) | O_NONBLOCK);
        const int rc = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        if (rc == 0) {
            FFillers.push_back(fd);
            continue;
        }
        pollfd p{fd, POLLOUT, 0};
        if (errno == EINPROGRESS && ::poll(&p, 1, 300) == 0) {
            FReady = true;
        }
        int err = 0;
        socklen_t len = sizeof err;
        ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
        if (FReady || err != 0) {
            ::close(fd);
            if (err != 0) {
                break;
            }
        } else {
            FFillers.push_back(fd);
        }
    }
}

SilentListener::~SilentListener()
{
    for (const int fd : FFillers) {
        ::close(fd);
    }
    ::close(FListenFd);
}

int OpenDescriptorCount()
{
    DIR* dir = ::opendir("/proc/self/fd");
    if (dir == nullptr) {
        return -1;
    }
    int count = 0;
    while (::readdir(dir) != nullptr) {
        ++count;
    }
    ::closedir(dir);
    return count;
}

} // namespace veltrane::test
