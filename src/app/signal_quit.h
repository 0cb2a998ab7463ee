#pragma once

#include <QObject>

namespace veltrane {

// On POSIX systems SIGTERM and SIGINT end the program exactly like "Salir":
// the event loop ends and the window's shutdown runs. Elsewhere it does nothing.
void QuitOnTerminationSignals(QObject* owner);

} // namespace veltrane
