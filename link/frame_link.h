#pragma once

#include <string_view>

namespace servo {

// The line the panel writes its frames to. A failure is reported by the link itself,
// once; the return values only tell the caller whether to go on.
class FrameLink {
public:
    virtual ~FrameLink() = default;

    virtual bool open() = 0;
    // Queues the whole frame and returns at once.
    virtual bool write(std::string_view frame) = 0;
    // Delivers everything queued, then closes. False when something could not be sent.
    virtual bool close() = 0;
};

} // namespace servo
