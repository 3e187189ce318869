// The claim on the line against every way another program holds it: lock files of each form
// serial tools write, under the name opened and the name a link leads to, an flock, exclusive
// mode; and the claim the panel itself leaves, in folders of the test's own.
#include "port_claim.h"
#include "pty.h"
#include "serial_link.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <functional>
#include <unistd.h>

namespace servo {
namespace {

    using Claim = platform::LineClaim;
    using Outcome = Claim::Outcome;

    QString LockName(const QString& device)
    {
        QString name = device.startsWith(QLatin1String("/dev/")) ? device.mid(5) : device;
        return QLatin1String("LCK..") + name.replace(QLatin1Char('/'), QLatin1Char('_'));
    }

    QByteArray Read(const QString& path)
    {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(none)");
    }

    // The panel's own lock file: HDB text, the process id in ten places, then its name.
    bool IsOurs(const QByteArray& lock)
    {
        return lock.size() > 11 && lock.left(10).trimmed().toLongLong() == ::getpid()
            && lock.at(10) == ' ' && lock.endsWith('\n') && lock.count('\n') == 1;
    }

    // A program that runs for the test; `dead`: one that already ended, whose id is free.
    struct Process {
        explicit Process(bool dead, const QString& program = QStringLiteral("sleep"),
            const QStringList& args = { QStringLiteral("60") })
        {
            p.start(dead ? QStringLiteral("true") : program, dead ? QStringList() : args);
            p.waitForStarted(10000);
            pid = p.processId();
            if (dead)
                p.waitForFinished(10000);
        }
        ~Process()
        {
            p.kill();
            p.waitForFinished(5000);
        }
        QProcess p;
        qint64 pid = 0;
    };

    enum class Where { Opened, Target, OtherFolder };

    struct LockCase {
        const char* name;
        Where where;
        bool alive;
        std::function<QByteArray(qint64 pid)> contents;
        bool named; // the holder can be told from the file
        bool unreadable = false;
    };

    void PrintTo(const LockCase& c, std::ostream* out)
    {
        *out << c.name;
    }

    QByteArray Binary(qint64 pid)
    {
        const auto id = static_cast<qint32>(pid);
        return QByteArray(reinterpret_cast<const char*>(&id), sizeof id);
    }

    class LockFiles : public testing::TestWithParam<LockCase> { };

    // /tmp/x/serial0 links to the line; the lock file lies under the link's name, the line's,
    // or in another of the folders serial tools use.
    TEST_P(LockFiles, HeldWhileItsProcessLivesReplacedOnlyWhenGone)
    {
        const LockCase& c = GetParam();
        test::Pty line;
        QTemporaryDir dir, ours, other;
        const QString link = dir.filePath(QStringLiteral("serial0"));
        ASSERT_TRUE(QFile::link(line.path(), link));
        const Process holder(!c.alive);
        const QString path = c.where == Where::OtherFolder
            ? QDir(other.path()).filePath(LockName(line.path()))
            : QDir(ours.path()).filePath(LockName(c.where == Where::Opened ? link : line.path()));
        const QByteArray text = c.contents(holder.pid);
        if (c.unreadable) {
            ASSERT_TRUE(QDir().mkdir(path));
        } else {
            QFile file(path);
            ASSERT_TRUE(file.open(QIODevice::WriteOnly));
            file.write(text);
        }

        Claim claim({ ours.path(), other.path() });
        const Outcome outcome = claim.take(link);
        if (c.alive) {
            ASSERT_EQ(outcome, Outcome::Held);
            if (c.named) {
                ASSERT_TRUE(claim.holder());
                EXPECT_EQ(claim.holder()->pid, holder.pid);
                EXPECT_EQ(claim.holder()->program, QStringLiteral("sleep"));
            } else {
                EXPECT_FALSE(claim.holder() && claim.holder()->pid);
                EXPECT_EQ(claim.reason(), QStringLiteral("lock file ") + path);
            }
            EXPECT_TRUE(c.unreadable ? QFileInfo(path).isDir() : Read(path) == text)
                << "a live program's lock was touched";
            return;
        }
        ASSERT_EQ(outcome, Outcome::Claimed);
        const QString target = QDir(ours.path()).filePath(LockName(line.path()));
        switch (c.where) {
        case Where::Opened: // removed; the port's open makes the new one
            EXPECT_FALSE(QFile::exists(path));
            break;
        case Where::Target:
            EXPECT_TRUE(IsOurs(Read(path))) << Read(path).toStdString();
            break;
        case Where::OtherFolder: // not where ours goes: left as it is
            EXPECT_EQ(Read(path), text);
            EXPECT_TRUE(IsOurs(Read(target)));
            break;
        }
        claim.release();
        EXPECT_FALSE(QFile::exists(target)) << "the panel's lock file was left behind";
        EXPECT_EQ(QDir(ours.path()).entryList(QDir::Files | QDir::Hidden).size(), 0);
    }

    QByteArray Hdb(qint64 pid)
    {
        return QByteArray::number(pid).rightJustified(10, ' ') + '\n';
    }
    QByteArray HdbWords(qint64 pid)
    {
        return QByteArray::number(pid).rightJustified(10, ' ') + " minicom root\n";
    }
    QByteArray QtLines(qint64 pid)
    {
        return QByteArray::number(pid) + "\nsleep\nsomehost\n";
    }

    INSTANTIATE_TEST_SUITE_P(Claim, LockFiles,
        testing::Values(LockCase { "HdbUnderTheNameOpened", Where::Opened, true, Hdb, true },
            LockCase { "HdbUnderTheLinksTarget", Where::Target, true, Hdb, true },
            LockCase { "HdbWithWordsAfter", Where::Target, true, HdbWords, true },
            LockCase { "QtsThreeLines", Where::Opened, true, QtLines, true },
            LockCase { "BinaryFourBytes", Where::Target, true, Binary, true },
            LockCase { "InAnotherFolder", Where::OtherFolder, true, Hdb, true },
            LockCase { "NoProcessId", Where::Target, true,
                [](qint64) { return QByteArray("locked\n"); }, false },
            LockCase { "Empty", Where::Opened, true, [](qint64) { return QByteArray(); }, false },
            // Not a file that can be read at all (as one of another user's would be to us).
            LockCase { "Unreadable", Where::Target, true, [](qint64) { return QByteArray(); },
                false, true },
            LockCase { "StaleHdbUnderTheNameOpened", Where::Opened, false, Hdb, true },
            LockCase { "StaleWithWordsUnderTheTarget", Where::Target, false, HdbWords, true },
            LockCase { "StaleQtsUnderTheTarget", Where::Target, false, QtLines, true },
            LockCase { "StaleBinary", Where::Opened, false, Binary, true },
            LockCase { "StaleInAnotherFolder", Where::OtherFolder, false, Hdb, true }),
        [](const auto& info) { return std::string(info.param.name); });

    // Held with no lock file: exclusive mode (an flock: the peer programs' test), or another
    // claim of this process (two panels racing: only one wins). Named where the system tells.
    struct DeviceHold {
        const char* name;
        QString program; // the holder's, empty: none to start
        QStringList args; // %1: the device
        QString named; // the program the report names, empty: none
    };

    void PrintTo(const DeviceHold& c, std::ostream* out)
    {
        *out << c.name;
    }

    class DeviceHolds : public testing::TestWithParam<DeviceHold> { };

    TEST_P(DeviceHolds, RefusedAndNamed)
    {
        const DeviceHold& c = GetParam();
        test::Pty line;
        QTemporaryDir folder;
        Claim first({ folder.path() });
        std::unique_ptr<Process> holder;
        if (c.program.isEmpty()) {
            ASSERT_EQ(first.take(line.path()), Outcome::Claimed);
        } else {
            QStringList args;
            for (const QString& arg : c.args)
                args.append(arg.arg(line.path()));
            holder = std::make_unique<Process>(false, c.program, args);
            ASSERT_TRUE(holder->p.waitForReadyRead(10000))
                << holder->p.readAllStandardError().toStdString();
        }
        Claim claim({ folder.path() });
        ASSERT_EQ(claim.take(line.path()), Outcome::Held);
        if (c.named.isEmpty()) {
            EXPECT_FALSE(claim.holder());
        } else {
            ASSERT_TRUE(claim.holder());
            EXPECT_EQ(claim.holder()->program, c.named);
            EXPECT_EQ(claim.holder()->pid, holder->pid);
        }
        EXPECT_EQ(QDir(folder.path()).entryList(QDir::Files | QDir::Hidden).size(), 0)
            << "a lock file was made for a line the panel did not get";
    }

    INSTANTIATE_TEST_SUITE_P(Claim, DeviceHolds,
        testing::Values(DeviceHold { "ExclusiveMode", QStringLiteral(SERVO_PORT_HOLDER),
                            { "--exclusive", "%1" }, QStringLiteral("port_holder") },
            DeviceHold { "AnotherClaimOfThisProcess", {}, {}, {} }),
        [](const auto& info) { return std::string(info.param.name); });

    // The link's own claim in the system's lock folder: a dead holder's file under the name
    // opened is replaced by one every serial tool reads, which goes with the close.
    TEST(Claim, LinkHoldsTheLineInHdbFormAndLeavesNothing)
    {
        test::Pty line;
        const QString path
            = QDir(platform::SystemLockFolders().front()).filePath(LockName(line.path()));
        const Process gone(true);
        {
            QFile stale(path);
            ASSERT_TRUE(stale.open(QIODevice::WriteOnly));
            stale.write(Hdb(gone.pid));
        }
        SerialLink link(line.path());
        ASSERT_TRUE(link.open());
        EXPECT_TRUE(IsOurs(Read(path))) << Read(path).toStdString();
        EXPECT_TRUE(link.close());
        EXPECT_FALSE(QFile::exists(path));
    }

} // namespace
} // namespace servo
