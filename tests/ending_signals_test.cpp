#include "ending_signals.h"

#include <QProcess>
#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>

#include <csignal>
#include <pthread.h>

namespace servo {
namespace {

    class EndingSignal : public testing::TestWithParam<int> { };

    // The handler only passes the signal on; the program hears of it from its event loop.
    TEST_P(EndingSignal, ArrivesOnTheEventLoop)
    {
        EndingSignals endings;
        QSignalSpy received(&endings, &EndingSignals::received);
        ASSERT_EQ(std::raise(GetParam()), 0);
        EXPECT_EQ(received.count(), 0) << "handled inside the signal handler";
        ASSERT_TRUE(received.wait(1000));
        EXPECT_EQ(received.at(0).at(0).toInt(), GetParam());
    }

    INSTANTIATE_TEST_SUITE_P(Signals, EndingSignal, testing::Values(SIGTERM, SIGINT, SIGHUP),
        [](const auto& info) { return std::string(sigabbrev_np(info.param)); });

    // Which of TERM, INT, HUP a program started now blocks or ignores (no shell: one clears it).
    qulonglong HeldInAChild()
    {
        QProcess child;
        child.start(QStringLiteral("grep"), { "-E", "^Sig(Blk|Ign)", "/proc/self/status" });
        EXPECT_TRUE(child.waitForFinished() && child.exitCode() == 0);
        qulonglong held = 0;
        for (const QByteArray& line : child.readAllStandardOutput().split('\n'))
            held |= line.mid(7).trimmed().toULongLong(nullptr, 16) & 0x4003; // TERM, INT, HUP
        return held;
    }

    // While start-up runs, a signal waits for the next check; the check delivers it at once,
    // before returning. Listening, the event loop takes each one as it comes, and the signals
    // are no longer held back.
    TEST(EndingSignals, HeldUntilCheckedWhileStarting)
    {
        const qulonglong parents = HeldInAChild();
        EndingSignals::holdUntilListening();
        EndingSignals endings;
        EXPECT_EQ(HeldInAChild(), parents);
        QSignalSpy received(&endings, &EndingSignals::received);
        ASSERT_EQ(std::raise(SIGTERM), 0);
        QTest::qWait(100);
        EXPECT_EQ(received.count(), 0) << "delivered between two checks";
        endings.deliverPending();
        ASSERT_EQ(received.count(), 1) << "the check did not deliver it";
        EXPECT_EQ(received.at(0).at(0).toInt(), SIGTERM);

        endings.listen();
        sigset_t blocked;
        ::pthread_sigmask(SIG_BLOCK, nullptr, &blocked);
        for (int number : { SIGTERM, SIGINT, SIGHUP })
            EXPECT_FALSE(sigismember(&blocked, number)) << sigabbrev_np(number);
        ASSERT_EQ(std::raise(SIGINT), 0);
        ASSERT_TRUE(received.wait(1000));
        EXPECT_EQ(received.at(1).at(0).toInt(), SIGINT);
    }

    // Started with nohup, or as a background job of a script: the ignored signal stays
    // ignored. Once the listener is gone (the program tears down), a signal changes nothing:
    // no default handling comes back to end the process by it, and no later listener hears it.
    TEST(EndingSignals, IgnoredStaysIgnoredAndLaterSignalsChangeNothing)
    {
        const auto oldHangUp = std::signal(SIGHUP, SIG_IGN);
        {
            EndingSignals endings;
            QSignalSpy received(&endings, &EndingSignals::received);
            std::raise(SIGHUP);
            std::raise(SIGTERM);
            ASSERT_TRUE(received.wait(1000));
            QTest::qWait(50);
            ASSERT_EQ(received.count(), 1);
            EXPECT_EQ(received.at(0).at(0).toInt(), SIGTERM);
        }
        for (int number : { SIGTERM, SIGINT, SIGHUP })
            ASSERT_EQ(std::raise(number), 0); // the test runs on: nothing ended it
        EndingSignals later;
        QSignalSpy received(&later, &EndingSignals::received);
        EXPECT_FALSE(received.wait(200)) << "heard before it listened";
        EXPECT_EQ(std::signal(SIGHUP, oldHangUp), SIG_IGN);
    }

} // namespace
} // namespace servo
