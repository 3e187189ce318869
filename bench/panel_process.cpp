#include "far_end.h"
#include "layout.h"
#include "rows.h"
#include "stand_in.h"

#include <QCoreApplication>
#include <QProcess>
#include <QStringList>

#include <algorithm>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <numeric>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace servo::bench {
namespace {

    using namespace std::chrono_literals;

    // The panel's own output goes beside the bench, not into the table.
    std::string LogPath()
    {
        return QCoreApplication::applicationDirPath().toStdString() + "/servo-panel.log";
    }

    std::string StartFrames()
    {
        return std::string("\x02"
                           "032"
                           "\x02"
                           "132"
                           "\x02"
                           "232"
                           "\x02"
                           "332");
    }

    double Ms(Clock::duration d)
    {
        return std::chrono::duration<double, std::milli>(d).count();
    }

    // The environment of the panel: ours, with the platform (and display) given.
    std::vector<std::string> PanelEnvironment(
        const std::string& platform, const std::string& display)
    {
        std::vector<std::string> env;
        for (char** e = environ; *e; ++e)
            if (std::strncmp(*e, "QT_QPA_PLATFORM=", 16) != 0
                && std::strncmp(*e, "DISPLAY=", 8) != 0)
                env.emplace_back(*e);
        env.push_back("QT_QPA_PLATFORM=" + platform);
        if (!display.empty())
            env.push_back("DISPLAY=" + display);
        return env;
    }

    // The real executable, started with no arguments and no override: in a mount namespace
    // of its own the pseudo-terminal stands in for the first serial port, so the panel opens
    // the device it always opens.
    class Panel {
    public:
        Panel(const std::string& executable, const std::string& pts,
            const std::vector<std::string>& env)
            : m_standIn(pts, {})
        {
            std::vector<char*> argv { const_cast<char*>(executable.c_str()), nullptr };
            std::vector<char*> envp;
            for (const std::string& e : env)
                envp.push_back(const_cast<char*>(e.c_str()));
            envp.push_back(nullptr);
            const int log
                = ::open(LogPath().c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);

            started = Clock::now();
            pid = ::fork();
            if (pid == 0) {
                // Only system calls from here on: the parent has threads.
                if (log >= 0) {
                    ::dup2(log, STDOUT_FILENO);
                    ::dup2(log, STDERR_FILENO);
                }
                const char* step = nullptr;
                if (!m_standIn.enter(&step)) {
                    static const char kMessage[]
                        = "servo-bench: cannot bind the pty over the port\n";
                    [[maybe_unused]] auto n = ::write(STDERR_FILENO, kMessage, sizeof kMessage - 1);
                    ::_exit(126);
                }
                ::execve(argv[0], argv.data(), envp.data());
                ::_exit(127);
            }
            if (log >= 0)
                ::close(log);
        }

        ~Panel() { stop(); }

        // SIGTERM, as a session ending would send; SIGKILL if it does not go.
        void stop()
        {
            if (pid <= 0)
                return;
            ::kill(pid, SIGTERM);
            for (int i = 0; i < 200 && !reaped(); ++i)
                std::this_thread::sleep_for(10ms);
            if (!reaped()) {
                ::kill(pid, SIGKILL);
                ::waitpid(pid, nullptr, 0);
            }
            pid = -1;
        }

        // Exit status text when it already ended, empty while it runs.
        std::string ended()
        {
            if (pid <= 0 || !reaped())
                return {};
            pid = -1;
            return WIFEXITED(m_status) ? Format("exited with status %d", WEXITSTATUS(m_status))
                                       : Format("killed by signal %d", WTERMSIG(m_status));
        }

        // CPU time of all its threads, from the scheduler's own accounting (nanoseconds).
        double cpuMs() const
        {
            double ns = 0;
            const std::string dir = Format("/proc/%d/task", pid);
            if (DIR* tasks = ::opendir(dir.c_str())) {
                while (const dirent* task = ::readdir(tasks)) {
                    if (task->d_name[0] == '.')
                        continue;
                    std::ifstream stat(dir + "/" + task->d_name + "/schedstat");
                    double taskNs = 0;
                    if (stat >> taskNs)
                        ns += taskNs;
                }
                ::closedir(tasks);
            }
            return ns / 1e6;
        }

        double statusKb(const char* field) const
        {
            std::ifstream status(Format("/proc/%d/status", pid));
            std::string line;
            while (std::getline(status, line))
                if (line.rfind(field, 0) == 0)
                    return std::stod(line.substr(std::strlen(field) + 1));
            return -1;
        }

        pid_t pid = -1;
        Clock::time_point started;

    private:
        bool reaped()
        {
            if (m_reaped)
                return true;
            m_reaped = ::waitpid(pid, &m_status, WNOHANG) == pid;
            return m_reaped;
        }

        support::StandIn m_standIn;
        int m_status = 0;
        bool m_reaped = false;
    };

    bool CanStandIn(std::string& why)
    {
        if (::geteuid() != 0) {
            why = "needs root to bind a pseudo-terminal over /dev/ttyS0 in a mount namespace";
            return false;
        }
        return true;
    }

    // Waits for the start-up frames; empty on success, else what went wrong.
    std::string AwaitStart(FarEnd& far, Panel& panel)
    {
        const Clock::time_point deadline = Clock::now() + 10s;
        while (far.total() < 16 && Clock::now() < deadline) {
            far.waitFor(16, 50ms);
            if (const std::string end = panel.ended(); !end.empty())
                return "the panel " + end + " before sending its start-up frames (see " + LogPath()
                    + ")";
        }
        if (far.total() < 16)
            return "the start-up frames did not arrive within 10 s";
        if (far.received() != StartFrames())
            return "the start-up frames were wrong";
        return {};
    }

    // A virtual X server, so that a real mouse click can reach the real window.
    class XServer {
    public:
        XServer()
        {
            int fds[2];
            if (::pipe(fds) != 0)
                return;
            m_process.setProgram(QStringLiteral("Xvfb"));
            // -noreset: a reset when the last client leaves drops one still connecting.
            m_process.setArguments({ QStringLiteral("-displayfd"), QString::number(fds[1]),
                QStringLiteral("-noreset"), QStringLiteral("-nolisten"), QStringLiteral("tcp"),
                QStringLiteral("-screen"), QStringLiteral("0"), QStringLiteral("640x480x24") });
            m_process.setProcessChannelMode(QProcess::ForwardedOutputChannel);
            m_process.setStandardErrorFile(QString::fromStdString(LogPath()), QIODevice::Append);
            m_process.start();
            ::close(fds[1]);
            std::string number;
            pollfd fd { fds[0], POLLIN, 0 };
            const Clock::time_point deadline = Clock::now() + 10s;
            char c = 0;
            while (Clock::now() < deadline && ::poll(&fd, 1, 100) >= 0) {
                if (!(fd.revents & (POLLIN | POLLHUP)))
                    continue;
                if (::read(fds[0], &c, 1) != 1 || c == '\n')
                    break;
                number += c;
            }
            ::close(fds[0]);
            if (c == '\n' && !number.empty())
                display = ":" + number;
        }

        ~XServer()
        {
            m_process.terminate();
            if (!m_process.waitForFinished(3000))
                m_process.kill();
            m_process.waitForFinished(1000);
        }

        // Runs xdotool against this display; its output, or nothing when it failed.
        std::optional<std::string> xdotool(const QStringList& arguments) const
        {
            QProcess tool;
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert(QStringLiteral("DISPLAY"), QString::fromStdString(display));
            tool.setProcessEnvironment(env);
            tool.start(QStringLiteral("xdotool"), arguments);
            if (!tool.waitForFinished(10000) || tool.exitCode() != 0) {
                tool.kill();
                return std::nullopt;
            }
            return tool.readAllStandardOutput().trimmed().toStdString();
        }

        std::string display;

    private:
        QProcess m_process;
    };

    Row Missing(const std::string& name, const std::string& target, const std::string& why)
    {
        return Row(name, target, why);
    }

} // namespace

Row StartupRow(const std::string& executable)
{
    const std::string target = "median of 10 < 150 ms";
    std::string why;
    if (!CanStandIn(why))
        return Missing("start-up", target, why);

    std::vector<double> times;
    for (int run = 0; run < 10; ++run) {
        FarEnd far;
        Panel panel(executable, far.path(), PanelEnvironment("offscreen", ""));
        if (const std::string error = AwaitStart(far, panel); !error.empty())
            return Missing("start-up", target, error);
        times.push_back(Ms(*far.arrivalOf(16) - panel.started));
        panel.stop();
    }
    std::vector<double> sorted = times;
    std::sort(sorted.begin(), sorted.end());
    const double median = (sorted[4] + sorted[5]) / 2;
    Row row("start-up", target);
    row.figure = Format(
        "median %.1f ms (min %.1f, max %.1f; offscreen)", median, sorted.front(), sorted.back());
    row.ratio = RatioToFrame(median);
    row.ok = median < 150;
    row.values
        = { { "median_ms", median }, { "min_ms", sorted.front() }, { "max_ms", sorted.back() } };
    return row;
}

std::vector<Row> LongRunRows(const std::string& executable)
{
    const std::string memoryTarget = "< 60 MB";
    const std::string idleTarget = "< 20 ms idle, < 40 ms testing";
    const std::string tickTarget = "mean 1000 +- 1 ms, worst < 5 ms off";
    auto allMissing = [&](const std::string& why) {
        return std::vector<Row> { Missing("memory", memoryTarget, why),
            Missing("idle", idleTarget, why), Missing("tick period", tickTarget, why) };
    };
    std::string why;
    if (!CanStandIn(why))
        return allMissing(why);
    XServer x;
    if (x.display.empty())
        return allMissing("Xvfb did not start");

    FarEnd far;
    Panel panel(executable, far.path(), PanelEnvironment("xcb", x.display));
    if (const std::string error = AwaitStart(far, panel); !error.empty())
        return allMissing(error);
    const auto window
        = x.xdotool({ "search", "--sync", "--onlyvisible", "--name", "^Varnel Pulse Control$" });
    if (!window || window->empty())
        return allMissing("the panel's window did not appear on the X display");
    std::this_thread::sleep_for(1s);

    // Nobody touches it for ten seconds.
    const double idleFrom = panel.cpuMs();
    std::this_thread::sleep_for(10s);
    const double idleMs = panel.cpuMs() - idleFrom;
    const bool quietLine = far.total() == 16;

    // The operator clicks TEST of channel 1 (Command2).
    const QRect button = PixelRect(*FindPlacement("Command2"));
    const size_t base = far.total();
    if (!x.xdotool({ "mousemove", "--window",
            QString::fromStdString(window->substr(0, window->find('\n'))),
            QString::number(button.center().x()), QString::number(button.center().y()), "click",
            "1" }))
        return allMissing("xdotool could not click TEST");
    if (!far.waitFor(base + 4, 2500ms))
        return allMissing("no test frame within 2.5 s of the click on TEST");
    const Clock::time_point first = *far.arrivalOf(base + 4);
    std::this_thread::sleep_until(first + 500ms);
    const double testFrom = panel.cpuMs();
    std::this_thread::sleep_until(first + 10500ms);
    const double testMs = panel.cpuMs() - testFrom;

    constexpr int kTicks = 10;
    const bool allTicks = far.waitFor(base + 4 * (kTicks + 1), 3s);
    const double peakKb = panel.statusKb("VmHWM:");
    panel.stop();

    std::vector<Row> rows;
    Row memory("memory", memoryTarget);
    memory.figure = Format("peak RSS %.1f MB (xcb, after start, idle and test)", peakKb / 1024);
    memory.ok = peakKb > 0 && peakKb / 1024 < 60;
    memory.values = { { "peak_rss_mb", peakKb / 1024 } };
    rows.push_back(memory);

    Row idle("idle", idleTarget);
    idle.figure = Format("%.2f ms CPU in 10 s idle, %.2f ms with a test running", idleMs, testMs);
    idle.ok = quietLine && idleMs < 20 && testMs < 40;
    if (!quietLine)
        idle.note = "the idle panel sent bytes";
    idle.values = { { "idle_cpu_ms", idleMs }, { "testing_cpu_ms", testMs } };
    rows.push_back(idle);

    Row tick("tick period", tickTarget);
    if (!allTicks) {
        tick.note = "fewer than 11 test frames arrived";
        rows.push_back(tick);
        return rows;
    }
    const std::string got = far.received().substr(base, 4 * (kTicks + 1));
    std::string expected;
    for (int i = 0; i <= kTicks; ++i)
        expected += i % 2 == 0 ? std::string("\x02"
                                             "0FF")
                               : std::string("\x02"
                                             "060");
    std::vector<double> intervals;
    for (int i = 1; i <= kTicks; ++i)
        intervals.push_back(Ms(*far.arrivalOf(base + 4 * (i + 1)) - *far.arrivalOf(base + 4 * i)));
    const double mean = std::accumulate(intervals.begin(), intervals.end(), 0.0) / kTicks;
    double worst = 0;
    for (double interval : intervals)
        worst = std::max(worst, std::abs(interval - 1000));
    tick.figure = Format("mean %.2f ms, worst %.2f ms off (%d ticks)", mean, worst, kTicks);
    tick.ratio = RatioToFrame(worst) + " worst";
    tick.ok = got == expected && std::abs(mean - 1000) <= 1 && worst < 5;
    if (got != expected)
        tick.note = "the test frames were not 255, 96, 255, ... for channel 1";
    tick.values = { { "mean_ms", mean }, { "worst_off_ms", worst } };
    for (int i = 0; i < kTicks; ++i)
        tick.values.emplace_back(Format("interval_%d_ms", i + 1), intervals[i]);
    rows.push_back(tick);
    return rows;
}

} // namespace servo::bench
