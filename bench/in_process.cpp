#include "far_end.h"
#include "form1.h"
#include "rows.h"

#include <QEventLoop>
#include <QScrollBar>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>

namespace servo::bench {
namespace {

    using namespace std::chrono_literals;

    constexpr int kChanges = 10000;

    // The bytes the controller must see for a channel at a value, spelled out here rather
    // than taken from the code under measurement.
    std::string ExpectedFrame(char code, int value)
    {
        char text[8];
        std::snprintf(text, sizeof text, "\x02%c%X%X", code, value >> 4, value & 15);
        return text;
    }

    // The operator's walk along HScroll1: one arrow click at a time from 50 up to 255, down
    // to 1, up again.
    class Sweep {
    public:
        explicit Sweep(int from)
            : m_value(from)
        {
        }

        // The direction of the next click; the same until that click is made.
        int step()
        {
            if (m_value + m_step > 255 || m_value + m_step < 1)
                m_step = -m_step;
            return m_step;
        }
        int next() { return m_value += step(); }

    private:
        int m_value;
        int m_step = 1;
    };

    // Clicks the slider's arrows with the mouse, as a person would.
    void ClickArrow(QScrollBar* bar, int step)
    {
        const int y = bar->height() / 2;
        const QPoint at = step > 0 ? QPoint(bar->width() - 3, y) : QPoint(2, y);
        QTest::mouseClick(bar, Qt::LeftButton, Qt::NoModifier, at);
    }

    double Percentile(std::vector<double> sorted, double p)
    {
        std::sort(sorted.begin(), sorted.end());
        const size_t rank = static_cast<size_t>(std::ceil(p * sorted.size()));
        return sorted[std::clamp<size_t>(rank, 1, sorted.size()) - 1];
    }

    double Us(Clock::duration d)
    {
        return std::chrono::duration<double, std::micro>(d).count();
    }

    // The real window, shown offscreen, with its real link on a pseudo-terminal.
    struct Rig {
        FarEnd far;
        Form1 form { QString::fromStdString(far.path()) };
        QScrollBar* bar = nullptr;
        std::string error;

        bool start()
        {
            bar = form.findChild<QScrollBar*>(QStringLiteral("HScroll1"));
            if (!bar || !form.start()) {
                error = "the panel did not start";
                return false;
            }
            form.show();
            if (!QTest::qWaitForWindowExposed(&form)) {
                error = "the window was not exposed";
                return false;
            }
            std::string expected;
            for (char code : { '0', '1', '2', '3' })
                expected += ExpectedFrame(code, 50);
            (void)QTest::qWaitFor([&] { return far.total() >= expected.size(); }, 5000);
            if (far.received() != expected) {
                error = "the start-up frames did not arrive";
                return false;
            }
            // Let the first paint and anything else left from start-up finish.
            QTest::qWait(200);
            return true;
        }

        // Whatever arrived after `from`; empty when more bytes are still on the way.
        std::string since(size_t from) const { return far.received().substr(from); }
    };

    Row ChangeToLine(Rig& rig)
    {
        Row row("change to line", "median < 100 us, p99 < 1 ms");
        std::vector<double> latencies;
        latencies.reserve(kChanges);
        std::vector<double> handled; // the click's own handling, write and readout included
        handled.reserve(kChanges);
        std::string expected;
        Sweep sweep(rig.bar->value());
        const size_t base = rig.far.total();
        std::atomic<size_t> awaited { 0 };
        Clock::time_point issued;

        QEventLoop loop;
        QObject context;
        // A short pause between changes, so each click finds the panel idle as a person's does.
        QTimer pause;
        pause.setSingleShot(true);
        pause.setTimerType(Qt::PreciseTimer);
        pause.setInterval(1);
        QObject::connect(&pause, &QTimer::timeout, &context, [&] {
            const int step = sweep.step();
            const int value = sweep.next();
            expected += ExpectedFrame('0', value);
            awaited = base + expected.size();
            issued = Clock::now();
            ClickArrow(rig.bar, step);
            handled.push_back(Us(Clock::now() - issued));
            if (rig.bar->value() != value) {
                row.note = Format("the click left HScroll1 at %d, not %d", rig.bar->value(), value);
                loop.exit(1);
            }
        });
        rig.far.setListener([&](size_t total, Clock::time_point at) {
            size_t want = awaited.load();
            if (want == 0 || total < want || !awaited.compare_exchange_strong(want, 0))
                return;
            QMetaObject::invokeMethod(
                &context,
                [&, at] {
                    latencies.push_back(Us(at - issued));
                    if (latencies.size() == kChanges)
                        loop.exit(0);
                    else
                        pause.start();
                },
                Qt::QueuedConnection);
        });
        QTimer stall;
        size_t seen = 0;
        QObject::connect(&stall, &QTimer::timeout, &context, [&] {
            if (latencies.size() == seen) {
                row.note = Format("change %zu did not reach the line within 2 s", seen + 1);
                loop.exit(1);
            }
            seen = latencies.size();
        });
        stall.start(2000);
        pause.start();
        const int status = loop.exec();
        rig.far.setListener({});
        stall.stop();
        pause.stop();
        if (status != 0)
            return row;

        QTest::qWait(50);
        const std::string got = rig.since(base);
        if (got != expected) {
            row.note = Format("the line carried %zu bytes that differ from the %zu expected",
                got.size(), expected.size());
            return row;
        }
        const double median = Percentile(latencies, 0.50);
        const double p99 = Percentile(latencies, 0.99);
        const double worst = *std::max_element(latencies.begin(), latencies.end());
        row.figure = Format(
            "median %.1f us, p99 %.1f us (max %.0f us, %d changes)", median, p99, worst, kChanges);
        row.ratio = RatioToFrame(median / 1000) + " / " + RatioToFrame(p99 / 1000);
        row.ok = median < 100 && p99 < 1000;
        row.values = { { "median_us", median }, { "p99_us", p99 }, { "max_us", worst },
            { "click_handling_median_us", Percentile(handled, 0.5) },
            { "click_handling_p99_us", Percentile(handled, 0.99) }, { "changes", kChanges } };
        return row;
    }

    Row Burst(Rig& rig)
    {
        Row row("burst", "all 40000 bytes in order; UI block < 16 ms");
        std::string expected;
        {
            Sweep walk(rig.bar->value());
            for (int i = 0; i < kChanges; ++i)
                expected += ExpectedFrame('0', walk.next());
        }
        Sweep sweep(rig.bar->value());
        const size_t base = rig.far.total();
        const size_t last = base + expected.size();

        QEventLoop loop;
        QObject context;
        Clock::time_point started;
        Clock::time_point lastByte;
        int issued = 0;

        // The UI thread's pulse: a 1 ms timer; the longest gap between its beats is the
        // longest the thread was kept from its event loop.
        QTimer beat;
        beat.setTimerType(Qt::PreciseTimer);
        beat.setInterval(1);
        Clock::time_point lastBeat;
        Clock::duration longestGap {};
        QObject::connect(&beat, &QTimer::timeout, &context, [&] {
            const Clock::time_point now = Clock::now();
            longestGap = std::max(longestGap, now - lastBeat);
            lastBeat = now;
        });

        // Each change is its own event, as input events are; the next is queued behind
        // whatever the first one caused (port writes, repaints, beats).
        std::function<void()> change = [&] {
            const int step = sweep.step();
            const int value = sweep.next();
            ClickArrow(rig.bar, step);
            if (rig.bar->value() != value) {
                row.note = Format(
                    "click %d left HScroll1 at %d, not %d", issued + 1, rig.bar->value(), value);
                loop.exit(1);
                return;
            }
            if (++issued < kChanges)
                QMetaObject::invokeMethod(&context, change, Qt::QueuedConnection);
        };
        rig.far.setListener([&](size_t total, Clock::time_point at) {
            if (total < last)
                return;
            QMetaObject::invokeMethod(
                &context,
                [&, at] {
                    lastByte = at;
                    loop.exit(0);
                },
                Qt::QueuedConnection);
        });
        QTimer::singleShot(30000, &context, [&] {
            row.note = Format(
                "%zu of %zu bytes arrived within 30 s", rig.far.total() - base, expected.size());
            loop.exit(1);
        });
        QTimer::singleShot(0, &context, [&] {
            started = lastBeat = Clock::now();
            beat.start();
            change();
        });
        const int status = loop.exec();
        rig.far.setListener({});
        beat.stop();
        if (status != 0)
            return row;

        QTest::qWait(100);
        const std::string got = rig.since(base);
        size_t intact = 0;
        for (size_t at = 0; at + 4 <= std::min(got.size(), expected.size()); at += 4)
            intact += got.compare(at, 4, expected, at, 4) == 0;
        const bool inOrder = got == expected;
        const double toLastMs = Us(lastByte - started) / 1000;
        const double blockMs = Us(longestGap) / 1000;
        row.figure = Format("%zu/%zu bytes, %s, %zu/%d frames intact; last byte at %.0f ms; "
                            "UI block max %.1f ms",
            got.size(), expected.size(), inOrder ? "in order" : "NOT in order", intact, kChanges,
            toLastMs, blockMs);
        row.ratio = RatioToFrame(toLastMs / kChanges) + " per frame";
        row.ok = inOrder && blockMs < 16;
        row.values = { { "bytes_expected", double(expected.size()) },
            { "bytes_received", double(got.size()) }, { "in_order", inOrder ? 1.0 : 0.0 },
            { "frames_intact", double(intact) }, { "time_to_last_byte_ms", toLastMs },
            { "ui_block_max_ms", blockMs } };
        return row;
    }

} // namespace

std::vector<Row> InProcessRows(bool changeToLine, bool burst)
{
    std::vector<Row> rows;
    Rig rig;
    if (!rig.start()) {
        if (changeToLine)
            rows.emplace_back("change to line", "", rig.error);
        if (burst)
            rows.emplace_back("burst", "", rig.error);
        return rows;
    }
    if (changeToLine)
        rows.push_back(ChangeToLine(rig));
    if (burst)
        rows.push_back(Burst(rig));
    return rows;
}

} // namespace servo::bench
