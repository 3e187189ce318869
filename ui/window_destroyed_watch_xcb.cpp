// On Linux the window is an X11 window (directly or through XWayland) or a Wayland surface;
// only the first can be destroyed by another client.
#include "window_destroyed_watch.h"

#include <QAbstractNativeEventFilter>
#include <QCoreApplication>

#include <xcb/xcb.h>

namespace servo::platform {

struct WindowDestroyedWatch::Filter : QAbstractNativeEventFilter {
    Filter(QWidget& window, std::function<void()> destroyed)
        : window(window)
        , destroyed(std::move(destroyed))
    {
    }

    bool nativeEventFilter(const QByteArray& type, void* message, qintptr*) override
    {
        if (type != "xcb_generic_event_t")
            return false;
        const auto* event = static_cast<const xcb_generic_event_t*>(message);
        if ((event->response_type & ~0x80) != XCB_DESTROY_NOTIFY)
            return false;
        // Qt selects structure events on its own windows; a window of ours that Qt destroyed
        // itself no longer carries that id.
        const auto* gone = static_cast<const xcb_destroy_notify_event_t*>(message);
        if (told || window.internalWinId() == 0 || gone->window != window.internalWinId())
            return false;
        told = true;
        // Acted on from the event loop, not from inside Qt's handling of the X event.
        QMetaObject::invokeMethod(&window, destroyed, Qt::QueuedConnection);
        return false;
    }

    QWidget& window;
    std::function<void()> destroyed;
    bool told = false;
};

WindowDestroyedWatch::WindowDestroyedWatch(QWidget& window, std::function<void()> destroyed)
    : m_filter(std::make_unique<Filter>(window, std::move(destroyed)))
{
    QCoreApplication::instance()->installNativeEventFilter(m_filter.get());
}

WindowDestroyedWatch::~WindowDestroyedWatch() = default;

} // namespace servo::platform
