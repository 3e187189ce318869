// Debian's serial terminals and a pyserial script against the real panel on one line, in the
// stand-in's namespace with its private lock folder: whoever comes first keeps the line, the
// other is refused, and nothing from the panel reaches a line that another program holds.
#include "layout.h"
#include "pty.h"
#include "real_program.h"

#include <QDir>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <map>
#include <sys/stat.h>
#include <unistd.h>

namespace servo {
namespace {

    using namespace std::chrono_literals;
    using test::Hex;
    using test::Panel;
    using test::Pty;

    // Debian's, with python3-serial: not one a user's own Python may put first on the path.
    constexpr const char* kPython = "/usr/bin/python3";

    struct Peer {
        const char* name;
        QStringList command; // its program first; it opens /dev/ttyS0
        QString ready; // what it says on its terminal once it holds the line
        QString program; // how the panel's report names it
        QString refused; // what it says when the panel holds the line
    };

    void PrintTo(const Peer& peer, std::ostream* out)
    {
        *out << peer.name;
    }

    // A peer run as a person would: through the stand-in onto the same line and lock folder
    // as the panel, on a terminal of its own (they all want one).
    class PeerRun {
    public:
        PeerRun(const Peer& peer, const Pty& line, const QString& locks)
        {
            ::chmod(m_home.path().toLocal8Bit().constData(), 0755);
            // minicom sends a modem's initialisation string unless told not to; its lock file
            // stays on.
            QFile rc(m_home.filePath(QStringLiteral(".minirc.dfl")));
            rc.open(QIODevice::WriteOnly);
            rc.write("pu minit\npu mreset\n");
            rc.close();
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert(QStringLiteral("HOME"), m_home.path());
            env.insert(QStringLiteral("TERM"), QStringLiteral("xterm"));
            m_process.setProcessEnvironment(env);
            m_process.setStandardInputFile(m_terminal.path());
            m_process.setStandardOutputFile(m_terminal.path());
            m_process.setStandardErrorFile(m_terminal.path());
            const QString program = peer.command.front();
            QStringList args { "--line", line.path(), "--locks", locks,
                program.startsWith(QLatin1Char('/')) ? program
                                                     : QStandardPaths::findExecutable(program) };
            args += peer.command.mid(1);
            test::CloseOnExec();
            // Ended, picocom signals its whole process group: a group of its own, not the test's.
            m_process.setChildProcessModifier([] { ::setsid(); });
            m_process.start(QStringLiteral(SERVO_STAND_IN_EXE), args);
            m_process.waitForStarted(10000);
        }
        ~PeerRun()
        {
            if (m_process.state() != QProcess::NotRunning)
                test::Stop(m_process);
        }
        // Until the terminal shows `text` or the peer ends.
        bool awaitSaying(const QString& text, std::chrono::milliseconds limit = 20s)
        {
            QElapsedTimer clock;
            clock.start();
            while (!said().contains(text) && clock.elapsed() < limit.count()
                && m_process.state() != QProcess::NotRunning)
                QThread::msleep(50);
            return said().contains(text);
        }
        QString said()
        {
            m_said += QString::fromLocal8Bit(m_terminal.readAll(20ms));
            return m_said;
        }
        QProcess& process() { return m_process; }

    private:
        QTemporaryDir m_home;
        Pty m_terminal;
        QProcess m_process;
        QString m_said;
    };

    class PeerPrograms : public test::RealProgramTest, public testing::WithParamInterface<Peer> {
    protected:
        static void SetUpTestSuite()
        {
            RealProgramTest::SetUpTestSuite();
            if (s_missing.isEmpty())
                s_missing = MissingTool({ "picocom", "tio", "minicom" });
            if (s_missing.isEmpty()
                && QProcess::execute(QLatin1String(kPython), { "-c", "import serial" }) != 0)
                s_missing = QStringLiteral("no python3-serial");
        }

        void SetUp() override
        {
            RealProgramTest::SetUp();
            ::chmod(m_locks.path().toLocal8Bit().constData(), 01777);
        }

        Panel startPanel()
        {
            return Panel(Panel::X11Session(s_display->name()), m_locks.path(), m_line.path());
        }

        std::map<QString, QByteArray> lockFiles() const
        {
            std::map<QString, QByteArray> files;
            for (const QString& name : QDir(m_locks.path()).entryList(QDir::Files | QDir::Hidden)) {
                QFile file(QDir(m_locks.path()).filePath(name));
                file.open(QIODevice::ReadOnly);
                files[name] = file.readAll();
            }
            return files;
        }

        Pty m_line;
        QTemporaryDir m_locks;
    };

    TEST_P(PeerPrograms, PeerFirstKeepsTheLine)
    {
        PeerRun peer(GetParam(), m_line, m_locks.path());
        ASSERT_TRUE(peer.awaitSaying(GetParam().ready)) << peer.said().toStdString();
        const auto claim = lockFiles();
        Panel panel = startPanel();
        expectOpenFailure(panel,
            QStringLiteral("Cannot open the port /dev/ttyS0: it is in use by another program "
                           "(%1, process %2).")
                .arg(GetParam().program)
                .arg(peer.process().processId()));
        const std::string line = m_line.readAll(300ms);
        EXPECT_EQ(line.find('\x02'), std::string::npos) << "the panel wrote: " << Hex(line);
        EXPECT_EQ(peer.process().state(), QProcess::Running) << peer.said().toStdString();
        EXPECT_EQ(lockFiles(), claim) << "the peer's claim was touched";
    }

    // Run as root, which passes exclusive mode, the peer is refused all the same; the panel
    // goes on, ends 0 at EXIT, and leaves no lock file.
    TEST_P(PeerPrograms, PanelFirstKeepsTheLine)
    {
        Panel panel = startPanel();
        const QStringList windows = s_display->awaitWindows(1, &panel.process());
        ASSERT_EQ(windows.size(), 1) << panel.errors().toStdString();
        EXPECT_EQ(Hex(m_line.read(16, 30s)), Hex(test::StartUpFrames()));

        PeerRun peer(GetParam(), m_line, m_locks.path());
        EXPECT_TRUE(peer.awaitSaying(GetParam().refused)) << peer.said().toStdString();
        peer.process().waitForFinished(10000);
        ASSERT_EQ(peer.process().state(), QProcess::NotRunning) << peer.said().toStdString();
        EXPECT_NE(peer.process().exitCode(), 0);
        EXPECT_EQ(Hex(m_line.readAll(300ms)), "") << "the refused peer reached the line";

        const QPoint exit = PixelRect(*FindPlacement("Command1")).center();
        test::Output(QStringLiteral("xdotool"),
            { "mousemove", "--window", windows[0], QString::number(exit.x()),
                QString::number(exit.y()), "click", "1" });
        EXPECT_EQ(panel.awaitEnd(10s), EXIT_SUCCESS) << panel.errors().toStdString();
        EXPECT_TRUE(lockFiles().empty()) << "a lock file was left behind";
    }

    const char* const kPyserial = "import serial, time\n"
                                  "port = serial.Serial('/dev/ttyS0', 9600, exclusive=True)\n"
                                  "print('holding', flush=True)\n"
                                  "time.sleep(120)\n";

    INSTANTIATE_TEST_SUITE_P(Line, PeerPrograms,
        testing::Values(
            // Debian's picocom claims with an flock ("USE_FLOCK is enabled").
            Peer { "Picocom", { "picocom", "-b", "9600", "/dev/ttyS0" }, "Terminal ready",
                "picocom", "cannot lock /dev/ttyS0" },
            Peer { "Tio", { "tio", "-b", "9600", "/dev/ttyS0" }, "Connected", "tio",
                "Device file is locked by another process" },
            // minicom claims with an HDB lock file only.
            Peer { "Minicom", { "minicom", "-D", "/dev/ttyS0", "-b", "9600" }, "Welcome to minicom",
                "minicom", "Device /dev/ttyS0 is locked." },
            Peer { "Pyserial", { kPython, "-c", kPyserial }, "holding", "python3",
                "Could not exclusively lock port /dev/ttyS0" }),
        [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace servo
