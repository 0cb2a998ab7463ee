#include "close_message.h"

#include <QAbstractNativeEventFilter>
#include <QCoreApplication>
#include <QMetaObject>
#include <QPointer>

#include <windows.h>

namespace forecourt_sim {
namespace {

QPointer<QObject> gOwner;
std::function<void()> gHandler;

// Queued: the handler ends the event loop, which must not happen inside a
// window procedure or an event filter.
void queueHandler()
{
    if (gOwner) {
        QMetaObject::invokeMethod(
            gOwner, [] { gHandler(); }, Qt::QueuedConnection);
    }
}

// taskkill (and the system at log-off) send WM_CLOSE to the program's
// top-level windows.
LRESULT CALLBACK closeWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_CLOSE || message == WM_ENDSESSION) {
        queueHandler();
        return 0; // the window stays until the process ends
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

// QProcess::terminate() posts WM_CLOSE to the top-level windows and to the
// main thread itself; the thread's message reaches no window, only the event
// dispatcher, so it is taken here. This needs no desktop, unlike a window.
class ThreadCloseFilter : public QAbstractNativeEventFilter
{
public:
    bool nativeEventFilter(const QByteArray& type, void* message, qintptr*) override
    {
        const MSG* msg = static_cast<const MSG*>(message);
        if (type == "windows_generic_MSG" && msg->hwnd == nullptr && msg->message == WM_CLOSE) {
            queueHandler();
            return true;
        }
        return false;
    }
};

} // namespace

void OnCloseMessage(QObject* owner, std::function<void()> handler)
{
    gOwner = owner;
    gHandler = std::move(handler);
    static ThreadCloseFilter filter;
    QCoreApplication::instance()->installNativeEventFilter(&filter);
    const HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = closeWindowProc;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = L"ForecourtSimClose";
    RegisterClassW(&windowClass);
    // A top-level window, never shown: the senders look for the program's
    // top-level windows (a message-only window would not be among them).
    // Without a desktop it cannot be made; the filter still works then.
    CreateWindowExW(0, windowClass.lpszClassName, L"forecourt-sim", WS_OVERLAPPED, 0, 0, 0, 0,
                    nullptr, nullptr, instance, nullptr);
}

} // namespace forecourt_sim
