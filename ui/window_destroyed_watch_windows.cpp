// Another process cannot destroy a window on Windows (DestroyWindow is refused across
// threads), so there is nothing to watch.
#include "window_destroyed_watch.h"

namespace servo::platform {

struct WindowDestroyedWatch::Filter { };

WindowDestroyedWatch::WindowDestroyedWatch(QWidget&, std::function<void()>)
{
}

WindowDestroyedWatch::~WindowDestroyedWatch() = default;

} // namespace servo::platform
