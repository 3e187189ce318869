#include "ending_signals.h"

#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <pthread.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

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

    // The ending signals a program started now has blocked or ignored, from its status (with no
    // shell between: a shell clears its mask).
    std::string HeldInAChild()
    {
        pid_t child = 0;
        const char* argv[] = { "sleep", "10", nullptr };
        if (::posix_spawnp(&child, "sleep", nullptr, nullptr, const_cast<char**>(argv), environ))
            return "no child";
        std::ifstream status("/proc/" + std::to_string(child) + "/status");
        std::string held;
        for (std::string line; std::getline(status, line);)
            for (int number : { SIGTERM, SIGINT, SIGHUP })
                if (line.starts_with("SigBlk:") || line.starts_with("SigIgn:"))
                    if ((std::stoull(line.substr(7), nullptr, 16) >> (number - 1)) & 1)
                        held += line.substr(0, 6) + ' ' + sigabbrev_np(number) + ' ';
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
        return held;
    }

    // While start-up runs, a signal waits for the next check; the check delivers it at once,
    // before returning. Listening, the event loop takes each one as it comes, and the signals
    // are no longer held back.
    TEST(EndingSignals, HeldUntilCheckedWhileStarting)
    {
        const std::string parents = HeldInAChild();
        EndingSignals::holdUntilListening();
        EndingSignals endings;
        // What start-up starts (a D-Bus daemon autolaunched) can still be ended.
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
    // ignored. Once the program stops listening, the old handling is back.
    TEST(EndingSignals, IgnoredStaysIgnoredAndOldHandlingReturns)
    {
        const auto oldHangUp = std::signal(SIGHUP, SIG_IGN);
        struct sigaction oldTerm { };
        ::sigaction(SIGTERM, nullptr, &oldTerm);
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
        EXPECT_EQ(std::signal(SIGHUP, oldHangUp), SIG_IGN);
        struct sigaction term { };
        ::sigaction(SIGTERM, nullptr, &term);
        EXPECT_EQ(term.sa_handler, oldTerm.sa_handler);
    }

} // namespace
} // namespace servo
