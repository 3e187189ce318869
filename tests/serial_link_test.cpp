#include "pty.h"
#include "serial_link.h"
#include "servo_frame.h"

#include <QAbstractEventDispatcher>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

namespace servo {
namespace {

    using test::Hex;
    using test::LinkOnPty;
    using test::Pty;

    TEST(SerialLink, SendsFramesInOrderAt9600EightNoneOne)
    {
        Pty pty;
        SerialLink link(pty.path());
        ASSERT_TRUE(link.open());

        const termios t = pty.settings();
        EXPECT_EQ(cfgetospeed(&t), B9600);
        EXPECT_EQ(t.c_cflag & CSIZE, CS8);
        EXPECT_FALSE(t.c_cflag & PARENB);
        EXPECT_FALSE(t.c_cflag & CSTOPB);
        EXPECT_FALSE(t.c_cflag & CRTSCTS);

        std::string expected;
        for (int16_t v : { 1, 50, 128, 255 }) {
            for (char code : { '0', '1', '2', '3' }) {
                const std::string frame = FormatServoFrame(code, v);
                EXPECT_TRUE(link.write(frame));
                expected += frame;
            }
        }
        EXPECT_EQ(Hex(pty.read(expected.size())), Hex(expected));
        EXPECT_EQ(pty.readAll(), "");
    }

    TEST(SerialLink, FrameWrittenJustBeforeCloseArrives)
    {
        Pty pty;
        SerialLink link(pty.path());
        ASSERT_TRUE(link.open());
        const std::string frame = FormatServoFrame('3', 200);
        ASSERT_TRUE(link.write(frame));
        EXPECT_TRUE(link.close());
        EXPECT_EQ(Hex(pty.read(frame.size())), Hex(frame));
        EXPECT_FALSE(link.write(frame)) << "a closed link sends nothing";
    }

    TEST(SerialLink, TeardownDeliversWhatWasQueued)
    {
        Pty pty;
        std::string expected;
        {
            SerialLink link(pty.path());
            ASSERT_TRUE(link.open());
            for (int16_t v = 1; v <= 100; ++v) {
                expected += FormatServoFrame('1', v);
                link.write(FormatServoFrame('1', v));
            }
        }
        EXPECT_EQ(Hex(pty.read(expected.size())), Hex(expected));
    }

    TEST(SerialLink, HungUpFarEndFailsOnceAndStopsSending)
    {
        LinkOnPty line;
        auto& [pty, link, failures, opened] = line;
        ASSERT_TRUE(opened);
        pty.hangUp();
        link.write(FormatServoFrame('0', 10));
        // The failure may be reported inside write() itself, or later from the event loop.
        ASSERT_TRUE(failures.count() == 1 || failures.wait(2000));
        EXPECT_EQ(failures.count(), 1);
        EXPECT_TRUE(failures.at(0).at(0).toString().contains(pty.path()));
        EXPECT_FALSE(link.write(FormatServoFrame('0', 11)));
        EXPECT_FALSE(link.close());
        QCoreApplication::processEvents();
        EXPECT_EQ(failures.count(), 1) << "reported once";
    }

    // The adapter is pulled while nothing is being sent: the link notices by itself, at once,
    // with the words a write would have met. Bytes from the controller, which nobody reads,
    // neither keep the panel busy nor hide the hang-up.
    TEST(SerialLink, HangUpWhileIdleIsReportedAtOnce)
    {
        LinkOnPty line;
        auto& [pty, link, failures, opened] = line;
        ASSERT_TRUE(opened);
        pty.send("unsolicited bytes from the controller");
        int wakeUps = 0;
        const auto counter = QObject::connect(QAbstractEventDispatcher::instance(),
            &QAbstractEventDispatcher::awake, [&] { ++wakeUps; });
        QEventLoop loop; // the real loop: QTest::qWait sleeps between its rounds
        QTimer::singleShot(300, &loop, &QEventLoop::quit);
        loop.exec();
        QObject::disconnect(counter);
        EXPECT_LT(wakeUps, 50) << "unread input kept the event loop busy";
        EXPECT_EQ(failures.count(), 0);

        QElapsedTimer clock;
        clock.start();
        pty.hangUp();
        ASSERT_TRUE(failures.wait(1000));
        EXPECT_LT(clock.elapsed(), 1000);
        EXPECT_EQ(failures.at(0).at(0).toString(),
            QStringLiteral("Lost the port %1: %2").arg(pty.path(), qt_error_string(EIO)));
        QTest::qWait(100);
        EXPECT_EQ(failures.count(), 1) << "reported once";
        EXPECT_FALSE(link.write(FormatServoFrame('0', 11)));
    }

    TEST(SerialLink, OpenFailuresNameTheDevice)
    {
        for (const QString& device :
            { QStringLiteral("/dev/no-such-port"), QStringLiteral("/dev/null") }) {
            SerialLink link(device);
            QSignalSpy failures(&link, &SerialLink::failed);
            EXPECT_FALSE(link.open()) << device.toStdString();
            ASSERT_EQ(failures.count(), 1) << device.toStdString();
            EXPECT_TRUE(failures.at(0).at(0).toString().contains(device));
            EXPECT_FALSE(link.write("x"));
        }
    }

    TEST(SerialLink, PortHeldByAnotherLinkIsRefused)
    {
        Pty pty;
        SerialLink first(pty.path());
        ASSERT_TRUE(first.open());
        SerialLink second(pty.path());
        QSignalSpy failures(&second, &SerialLink::failed);
        EXPECT_FALSE(second.open());
        EXPECT_EQ(failures.count(), 1);
    }

} // namespace
} // namespace servo
