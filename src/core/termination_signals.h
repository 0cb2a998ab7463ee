#pragma once

#include <QObject>

#include <functional>

namespace veltrane {

// On POSIX systems SIGTERM and SIGINT run handler on owner's thread, from its
// event loop (never inside the signal handler). Elsewhere it does nothing.
// Call it once per process. Shared by the program and the stand-in
// controller, which links nothing else of the program.
void OnTerminationSignals(QObject* owner, std::function<void()> handler);

} // namespace veltrane
