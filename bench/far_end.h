#pragma once

#include "pseudo_terminal.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace servo::bench {

using Clock = std::chrono::steady_clock;

// A pseudo-terminal standing in for the controller. A thread of its own reads the
// master side, so every arrival is timed when the bytes become readable, whatever the
// UI thread is doing.
class FarEnd {
public:
    struct Arrival {
        size_t total; // bytes received so far, this read included
        Clock::time_point at;
    };
    // Runs on the reader thread after every read.
    using Listener = std::function<void(size_t total, Clock::time_point at)>;

    FarEnd();
    ~FarEnd();
    FarEnd(const FarEnd&) = delete;
    FarEnd& operator=(const FarEnd&) = delete;

    const std::string& path() const { return m_line.path(); }

    // Once this returns, the old listener is not running and will not run again.
    void setListener(Listener listener);
    // Blocks the caller (not a Qt thread that must keep running) until `count` bytes
    // have arrived or the time is up.
    bool waitFor(size_t count, std::chrono::milliseconds limit);
    // When the byte that made the total reach `count` arrived.
    std::optional<Clock::time_point> arrivalOf(size_t count) const;

    size_t total() const;
    std::string received() const;
    std::vector<Arrival> arrivals() const;

private:
    void run();

    support::PseudoTerminal m_line;
    mutable std::mutex m_mutex;
    std::mutex m_listening; // held while the listener runs, so replacing it waits for that
    std::condition_variable m_arrived;
    std::string m_bytes;
    std::vector<Arrival> m_arrivals;
    Listener m_listener;
    std::atomic<bool> m_stop { false };
    std::thread m_reader;
};

} // namespace servo::bench
