#pragma once

#include <QWidget>

#include <functional>
#include <memory>

namespace servo::platform {

// Tells when another program destroys the window's native window: on X11 any client may
// (`xdotool windowclose`, a window manager that crashes with it), which leaves a program
// with nothing on screen. Where no other program can, it never tells. Each platform has its
// own file (window_destroyed_watch_xcb.cpp, window_destroyed_watch_windows.cpp).
class WindowDestroyedWatch {
public:
    // `destroyed` is called from the event loop, once.
    WindowDestroyedWatch(QWidget& window, std::function<void()> destroyed);
    ~WindowDestroyedWatch();
    WindowDestroyedWatch(const WindowDestroyedWatch&) = delete;
    WindowDestroyedWatch& operator=(const WindowDestroyedWatch&) = delete;

private:
    struct Filter;
    std::unique_ptr<Filter> m_filter;
};

} // namespace servo::platform
