#include "pty.h"
#include "serial_link.h"
#include "servo_frame.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>

namespace servo {
namespace {

    using test::Hex;
    using test::LinkOnPty;
    using test::Pty;

    // A frame must not wait for the event loop: it is in the driver when write() returns.
    TEST(SerialLinkQueue, FrameReachesTheDriverBeforeTheEventLoopRuns)
    {
        Pty pty;
        SerialLink link(pty.path());
        ASSERT_TRUE(link.open());
        std::string expected;
        for (int16_t v : { 50, 51, 52 }) {
            const std::string frame = FormatServoFrame('2', v);
            ASSERT_TRUE(link.write(frame));
            EXPECT_EQ(link.bytesQueued(), 0) << "frame " << v << " was left for the event loop";
            expected += frame;
        }
        EXPECT_EQ(Hex(pty.read(expected.size())), Hex(expected));
    }

    // The far end stops reading: the driver fills up, every write still returns at once
    // without an error, and once the far end reads again every byte arrives, in order.
    TEST(SerialLinkQueue, StalledLineQueuesInOrderWithoutError)
    {
        LinkOnPty line;
        auto& [pty, link, failures, opened] = line;
        ASSERT_TRUE(opened);

        // Far more than a pseudo-terminal buffers, so that writes meet a full driver.
        constexpr int kFrames = 60000;
        std::string expected;
        expected.reserve(4 * kFrames);
        qint64 slowestMs = 0;
        QElapsedTimer clock;
        for (int i = 0; i < kFrames; ++i) {
            const std::string frame = FormatServoFrame(
                static_cast<char>('0' + i % 4), static_cast<int16_t>(1 + i % 255));
            clock.start();
            ASSERT_TRUE(link.write(frame)) << "frame " << i;
            slowestMs = std::max(slowestMs, clock.elapsed());
            expected += frame;
            // Let the queue's own sending meet the full driver too.
            if (i % 5000 == 0)
                QCoreApplication::processEvents();
        }
        EXPECT_GT(link.bytesQueued(), 0) << "the driver never filled up; the test proves nothing";
        EXPECT_LT(slowestMs, 200) << "a write waited for the line";
        QTest::qWait(200);
        EXPECT_EQ(failures.count(), 0) << failures.value(0).value(0).toString().toStdString();

        const std::string got = pty.read(expected.size(), std::chrono::seconds(20));
        ASSERT_EQ(got.size(), expected.size());
        EXPECT_TRUE(got == expected) << "bytes lost, doubled or out of order";
        EXPECT_EQ(link.bytesQueued(), 0);
        EXPECT_TRUE(link.close());
        EXPECT_EQ(failures.count(), 0);
    }

    // A frame written while others still wait in the queue goes behind them, not ahead.
    TEST(SerialLinkQueue, WriteAfterAStallGoesBehindTheQueue)
    {
        Pty pty;
        SerialLink link(pty.path());
        ASSERT_TRUE(link.open());
        std::string expected;
        for (int i = 0; link.bytesQueued() == 0 && i < 200000; ++i) {
            const std::string frame = FormatServoFrame('1', static_cast<int16_t>(i % 256));
            ASSERT_TRUE(link.write(frame));
            expected += frame;
        }
        ASSERT_GT(link.bytesQueued(), 0);
        // Drain part of the driver's buffer, so the driver has room while the queue is not
        // yet empty: the next frame must still queue behind.
        const std::string head = pty.read(4096);
        const std::string last = FormatServoFrame('3', 200);
        ASSERT_TRUE(link.write(last));
        expected += last;
        const std::string got
            = head + pty.read(expected.size() - head.size(), std::chrono::seconds(20));
        ASSERT_EQ(got.size(), expected.size());
        EXPECT_EQ(Hex(got.substr(got.size() - 16)), Hex(expected.substr(expected.size() - 16)));
        EXPECT_TRUE(got == expected);
    }

} // namespace
} // namespace servo
