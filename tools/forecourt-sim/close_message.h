#pragma once

// A console program on Windows has no window, so the close message that
// QProcess::terminate() and taskkill send to end a program politely never
// reaches it. OnCloseMessage takes that message, posted to the main thread
// or to a hidden window made for it, and runs `handler` on the owner's
// thread; elsewhere it does nothing (signals do that job there).

#include <QObject>

#include <functional>

namespace forecourt_sim {

#ifdef Q_OS_WIN
void OnCloseMessage(QObject* owner, std::function<void()> handler);
#else
// Nothing to keep here, so the handler is only looked at.
inline void OnCloseMessage(QObject*, const std::function<void()>&)
{
}
#endif

} // namespace forecourt_sim
