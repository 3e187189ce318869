#include "far_end.h"

#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

namespace servo::bench {

FarEnd::FarEnd()
{
    m_bytes.reserve(1 << 16);
    m_arrivals.reserve(1 << 15);
    m_reader = std::thread([this] { run(); });
}

FarEnd::~FarEnd()
{
    m_stop = true;
    m_reader.join();
}

void FarEnd::setListener(Listener listener)
{
    const std::lock_guard listening(m_listening);
    const std::lock_guard lock(m_mutex);
    m_listener = std::move(listener);
}

void FarEnd::run()
{
    // The far end stands for the controller, whose UART takes every byte as it comes: a
    // real-time reader keeps its own wake-up on a busy machine out of the figures. The
    // panel itself runs at normal priority. Without the right to do so it reads as is.
    const sched_param realTime { .sched_priority = 10 };
    ::pthread_setschedparam(::pthread_self(), SCHED_FIFO, &realTime);
    char buffer[1 << 16];
    while (!m_stop) {
        // Blocking in poll, not spinning: on two cores a spinning reader would take the
        // core the panel and the pty's kernel worker need.
        pollfd fd { m_line.master(), POLLIN, 0 };
        if (::poll(&fd, 1, 50) <= 0 || !(fd.revents & POLLIN))
            continue;
        const ssize_t n = ::read(m_line.master(), buffer, sizeof buffer);
        const Clock::time_point at = Clock::now();
        if (n <= 0)
            continue;
        const std::lock_guard listening(m_listening);
        size_t total = 0;
        {
            const std::lock_guard lock(m_mutex);
            m_bytes.append(buffer, static_cast<size_t>(n));
            total = m_bytes.size();
            m_arrivals.push_back({ total, at });
        }
        m_arrived.notify_all();
        if (m_listener)
            m_listener(total, at);
    }
}

bool FarEnd::waitFor(size_t count, std::chrono::milliseconds limit)
{
    std::unique_lock lock(m_mutex);
    return m_arrived.wait_for(lock, limit, [&] { return m_bytes.size() >= count; });
}

std::optional<Clock::time_point> FarEnd::arrivalOf(size_t count) const
{
    const std::lock_guard lock(m_mutex);
    for (const Arrival& a : m_arrivals)
        if (a.total >= count)
            return a.at;
    return std::nullopt;
}

size_t FarEnd::total() const
{
    const std::lock_guard lock(m_mutex);
    return m_bytes.size();
}

std::string FarEnd::received() const
{
    const std::lock_guard lock(m_mutex);
    return m_bytes;
}

std::vector<FarEnd::Arrival> FarEnd::arrivals() const
{
    const std::lock_guard lock(m_mutex);
    return m_arrivals;
}

} // namespace servo::bench
