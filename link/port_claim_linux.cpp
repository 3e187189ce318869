// The panel's claim on its line on Linux. Serial programs claim a line in three ways, and
// each honours only some: a lock file named after the device in the system's lock folder
// (minicom, Qt, lockdev, uucp), an flock on the device (picocom, tio, pyserial), and the
// tty's exclusive mode (TIOCEXCL). The panel respects all three and holds all three.
#include "port_claim.h"

#include "exclusive_holds_linux.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <vector>

namespace servo::platform {
namespace {

    QByteArray Path(const QString& path)
    {
        return QFile::encodeName(path);
    }

    // The name serial programs give a device in their lock files: the path below /dev, its
    // slashes as underscores (/dev/pts/3: LCK..pts_3).
    QString LockName(const QString& device)
    {
        QString name = device.startsWith(QLatin1String("/dev/")) ? device.mid(5) : device;
        name.replace(QLatin1Char('/'), QLatin1Char('_'));
        return QLatin1String("LCK..") + name;
    }

    // The device under each name it is claimed by: the name opened, and where that is a link
    // (a board's /dev/serial0), the name of the device it leads to, which other programs open.
    QStringList NamesOf(const QString& device)
    {
        QStringList names { device };
        const QString target = QFileInfo(device).canonicalFilePath();
        if (!target.isEmpty() && LockName(target) != LockName(device))
            names.append(target);
        return names;
    }

    // Where a lock file for `name` is written: the first folder that can be read and holds
    // the file or may have it made, as Qt chooses, so that the panel's own file and Qt's are
    // one.
    QString WritePath(const QStringList& folders, const QString& name)
    {
        for (const QString& folder : folders) {
            const QFileInfo dir(folder);
            const QString path = QDir(folder).filePath(LockName(name));
            if (dir.isReadable() && (QFileInfo::exists(path) || dir.isWritable()))
                return path;
        }
        return {};
    }

    // A lock file's holder: the process id, and the program named in it if any. Tools write
    // the id as HDB text ("%10d\n", some with words after: "     1234 minicom root"), as the
    // first of Qt's three lines ("1234\nprogram\nhost"), or as four binary bytes (old UUCP).
    struct LockText {
        qint64 pid = 0; // 0: no process can be read from it
        QString program;
    };

    LockText ReadLock(const QByteArray& contents)
    {
        const QList<QByteArray> words = contents.simplified().split(' ');
        bool number = false;
        const qint64 pid = words.value(0).toLongLong(&number);
        if (number)
            return { pid > 0 ? pid : 0, QString::fromLocal8Bit(words.value(1)) };
        if (contents.size() == 4) {
            qint32 binary = 0;
            std::memcpy(&binary, contents.constData(), sizeof binary);
            return { binary > 0 ? binary : 0, {} };
        }
        return {};
    }

    // Only a process that no longer exists lets go of a lock: not its age, not the program
    // named in it. EPERM is a live process of another user.
    bool Alive(qint64 pid)
    {
        return pid <= 0 || ::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH;
    }

    QByteArray ReadSmall(const QString& path)
    {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.read(4096) : QByteArray();
    }

    // The program a process runs: its name as the kernel keeps it (cut to 15 characters),
    // whole from its command line where that starts with the same.
    QString ProgramOf(qint64 pid)
    {
        const QString comm
            = QString::fromLocal8Bit(ReadSmall(QStringLiteral("/proc/%1/comm").arg(pid)).trimmed());
        const QByteArray cmdline = ReadSmall(QStringLiteral("/proc/%1/cmdline").arg(pid));
        const QString first
            = QFileInfo(QString::fromLocal8Bit(cmdline.left(cmdline.indexOf('\0')))).fileName();
        return !comm.isEmpty() && first.startsWith(comm) ? first : comm;
    }

    PortHolder Named(qint64 pid, const QString& fallback = {})
    {
        const QString program = ProgramOf(pid);
        return PortHolder { program.isEmpty() ? fallback : program, pid };
    }

    // Processes other than this one that have the device `number` open.
    std::vector<qint64> Openers(dev_t number)
    {
        std::vector<qint64> pids;
        const QStringList processes = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
        for (const QString& process : processes) {
            bool isPid = false;
            const qint64 pid = process.toLongLong(&isPid);
            if (!isPid || pid == ::getpid())
                continue;
            const QString fds = QStringLiteral("/proc/%1/fd").arg(pid);
            for (const QString& fd : QDir(fds).entryList(QDir::Files | QDir::System)) {
                struct stat info { };
                if (::stat(Path(fds + QLatin1Char('/') + fd).constData(), &info) == 0
                    && S_ISCHR(info.st_mode) && info.st_rdev == number) {
                    pids.push_back(pid);
                    break;
                }
            }
        }
        return pids;
    }

    // The process holding an flock on the node `node`, from the kernel's list of locks:
    // "1: FLOCK  ADVISORY  WRITE 1234 00:1a:3 0 EOF" (the file's device in hex, its inode).
    std::optional<qint64> FlockHolder(const struct stat& node)
    {
        const QByteArray file = QStringLiteral("%1:%2:%3")
                                    .arg(major(node.st_dev), 2, 16, QLatin1Char('0'))
                                    .arg(minor(node.st_dev), 2, 16, QLatin1Char('0'))
                                    .arg(node.st_ino)
                                    .toLatin1();
        QFile locks(QStringLiteral("/proc/locks"));
        if (!locks.open(QIODevice::ReadOnly))
            return {};
        for (const QByteArray& line : locks.readAll().split('\n')) {
            const QList<QByteArray> fields = line.simplified().split(' ');
            // A waiting lock is listed with "->" after its number.
            if (fields.size() < 7 || fields[1] != "FLOCK" || fields[5] != file)
                continue;
            bool number = false;
            const qint64 pid = fields[4].toLongLong(&number);
            if (number && pid > 0 && pid != ::getpid())
                return pid;
        }
        return {};
    }

    // The one other process that has the device open; which of several set exclusive mode
    // the system does not say.
    std::optional<PortHolder> OpenerOf(dev_t number)
    {
        const std::vector<qint64> pids = Openers(number);
        if (pids.size() != 1)
            return {};
        return Named(pids.front());
    }

    // A live program's lock file for `name` in any of `folders`: its holder where the file
    // names a process, and the words for it. A stale one where ours goes is removed when
    // `replace` says so.
    bool HeldByLockFile(const QStringList& folders, const QString& name, bool replace,
        std::optional<PortHolder>& holder, QString& reason)
    {
        const QString ours = WritePath(folders, name);
        for (const QString& folder : folders) {
            const QString path = QDir(folder).filePath(LockName(name));
            QFile file(path);
            if (!file.exists())
                continue;
            // One that cannot be read is still somebody's.
            const LockText lock
                = file.open(QIODevice::ReadOnly) ? ReadLock(file.read(4096)) : LockText {};
            if (!Alive(lock.pid)) {
                if (replace && path == ours)
                    QFile::remove(path);
                continue;
            }
            if (lock.pid > 0)
                holder = Named(lock.pid, lock.program);
            reason = QCoreApplication::translate("servo::PortOne", "lock file %1").arg(path);
            return true;
        }
        return false;
    }

} // namespace

QStringList SystemLockFolders()
{
    return { QStringLiteral("/var/lock"), QStringLiteral("/etc/locks"),
        QStringLiteral("/var/spool/locks"), QStringLiteral("/var/spool/uucp"),
        QStringLiteral("/tmp"), QStringLiteral("/var/tmp"), QStringLiteral("/var/lock/lockdev"),
        QStringLiteral("/run/lock") };
}

struct LineClaim::State {
    QStringList folders;
    int fd = -1; // the device, open while the claim holds its flock
    QStringList names;
    std::vector<std::pair<QString, ino_t>> written; // lock files of ours, by their inode
    std::optional<PortHolder> holder;
    QString reason;

    // Written whole under a name of our own, then linked to the lock file's name, so no
    // program reads it half made and two panels cannot both make it.
    QString writeTemporary(const QString& path)
    {
        QByteArray name = Path(QFileInfo(path).path() + QStringLiteral("/.LCK.XXXXXX"));
        const int fd = ::mkstemp(name.data());
        if (fd < 0)
            return {};
        const QByteArray text = QByteArray::number(::getpid()).rightJustified(10, ' ') + ' '
            + QByteArray(program_invocation_short_name) + '\n';
        const bool written
            = ::fchmod(fd, 0644) == 0 && ::write(fd, text.constData(), text.size()) == text.size();
        ::close(fd);
        if (!written) {
            ::unlink(name.constData());
            return {};
        }
        return QFile::decodeName(name);
    }

    void remember(const QString& path)
    {
        struct stat info { };
        if (::lstat(Path(path).constData(), &info) == 0)
            written.emplace_back(path, info.st_ino);
    }

    // Makes our lock file under `name`, unless a live program's is there first.
    bool lockName(const QString& name)
    {
        const QString path = WritePath(folders, name);
        const QString temporary = path.isEmpty() ? QString() : writeTemporary(path);
        if (temporary.isEmpty())
            return true; // nowhere to write one: the flock and exclusive mode still hold
        bool made = false, held = false;
        // A stale file found in the way is removed once, then ours goes in its place.
        for (int attempt = 0; attempt < 2 && !made && !held; ++attempt) {
            made = ::link(Path(temporary).constData(), Path(path).constData()) == 0;
            if (!made && errno != EEXIST)
                break; // no lock file can be made there; the flock and exclusive mode hold
            held = !made && HeldByLockFile(folders, name, true, holder, reason);
        }
        ::unlink(Path(temporary).constData());
        if (made)
            remember(path);
        return !held;
    }
};

LineClaim::LineClaim(QStringList lockFolders)
    : m(std::make_unique<State>())
{
    m->folders = std::move(lockFolders);
}

LineClaim::~LineClaim()
{
    release();
}

LineClaim::Outcome LineClaim::take(const QString& device)
{
    release();
    m->holder.reset();
    m->reason.clear();
    m->names = NamesOf(device);
    for (const QString& name : m->names)
        if (HeldByLockFile(m->folders, name, true, m->holder, m->reason))
            return Outcome::Held;

    {
        // Run as root, the panel must still not share a line another program holds.
        const ExclusiveHoldsHonoured honoured;
        m->fd = ::open(Path(device).constData(), O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    }
    struct stat node { };
    if (m->fd < 0) {
        const int error = errno;
        m->reason = qt_error_string(error);
        if (error != EBUSY || ::stat(Path(device).constData(), &node) != 0)
            return Outcome::Unopened;
        m->holder = OpenerOf(node.st_rdev);
        return Outcome::Held;
    }
    if (::flock(m->fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
        m->reason = qt_error_string(errno);
        ::fstat(m->fd, &node);
        if (const std::optional<qint64> pid = FlockHolder(node))
            m->holder = Named(*pid);
        else
            m->holder = OpenerOf(node.st_rdev);
        release();
        return Outcome::Held;
    }
    // Under the name opened, the port's own open makes the lock file (see opened()).
    for (const QString& name : m->names.mid(1)) {
        if (!m->lockName(name)) {
            release();
            return Outcome::Held;
        }
    }
    return Outcome::Claimed;
}

std::optional<PortHolder> LineClaim::holder() const
{
    return m->holder;
}

QString LineClaim::reason() const
{
    return m->reason;
}

void LineClaim::opened()
{
    if (m->names.isEmpty())
        return;
    // Qt wrote its three lines there, which tools read but Qt itself takes for stale once
    // they are old; ours replaces it at once, whole.
    const QString path = WritePath(m->folders, m->names.front());
    if (path.isEmpty() || ReadLock(ReadSmall(path)).pid != ::getpid())
        return;
    const QString temporary = m->writeTemporary(path);
    if (temporary.isEmpty())
        return;
    if (::rename(Path(temporary).constData(), Path(path).constData()) == 0)
        m->remember(path);
    else
        ::unlink(Path(temporary).constData());
}

void LineClaim::release()
{
    for (const auto& [path, inode] : m->written) {
        struct stat info { };
        if (::lstat(Path(path).constData(), &info) == 0 && info.st_ino == inode
            && ReadLock(ReadSmall(path)).pid == ::getpid())
            ::unlink(Path(path).constData());
    }
    m->written.clear();
    if (m->fd >= 0)
        ::close(m->fd);
    m->fd = -1;
}

std::optional<PortHolder> HolderOf(const QString& device)
{
    std::optional<PortHolder> holder;
    QString reason;
    for (const QString& name : NamesOf(device))
        if (HeldByLockFile(SystemLockFolders(), name, false, holder, reason))
            return holder.value_or(PortHolder {});
    return {};
}

} // namespace servo::platform
