#include "panel_process.h"

#include <QCoreApplication>
#include <QDir>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <sys/prctl.h>
#include <unistd.h>

namespace servo::sim {

PanelProcess::PanelProcess(QObject* parent)
    : QObject(parent)
{
    m_process.setProcessChannelMode(QProcess::SeparateChannels);
    m_process.setInputChannelMode(QProcess::ManagedInputChannel);
    m_process.setStandardOutputFile(QProcess::nullDevice());
    connect(&m_process, &QProcess::readyReadStandardError, this, [this] {
        const QByteArray bytes = m_process.readAllStandardError();
        std::fwrite(bytes.constData(), 1, bytes.size(), stderr);
        m_printed += QString::fromLocal8Bit(bytes);
    });
    connect(&m_process, &QProcess::started, this, [this] { emit started(m_process.processId()); });
    connect(&m_process, &QProcess::finished, this, &PanelProcess::onFinished);
    connect(&m_process, &QProcess::errorOccurred, this, &PanelProcess::onError);
}

PanelProcess::~PanelProcess()
{
    if (running()) {
        m_process.terminate();
        if (!m_process.waitForFinished(3000))
            m_process.kill();
        m_process.waitForFinished(1000);
    }
}

void PanelProcess::start(const QString& launcher, const QString& slave, const QString& panel)
{
    m_printed.clear();
    m_reported = false;
    // A panel left behind would lose its line and report it to nobody.
    const pid_t simulator = ::getpid();
    m_process.setChildProcessModifier([simulator] {
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != simulator)
            ::_exit(1);
    });
    m_process.setProcessEnvironment(PanelEnvironment());
    m_process.start(launcher, { QStringLiteral("--line"), slave, panel });
    m_process.closeWriteChannel();
}

// Not root, the launcher makes this user root of a user namespace: Qt's fallback runtime
// directory is then /tmp/runtime-root, which is root's or nobody's, and the user's own one
// may be unset or not this user's (su, sudo). So the panel gets one of its own, made here by
// the user it runs as and mode 0700 (QTemporaryDir's), which the namespace shows as its own.
QProcessEnvironment PanelProcess::PanelEnvironment()
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    m_runtime = std::make_unique<QTemporaryDir>(QDir::tempPath() + "/servo-panel-runtime-XXXXXX");
    if (!m_runtime->isValid())
        return env; // Qt's fallback and its warning, but the demo still runs
    // A Wayland display named relative to the old runtime directory stays reachable.
    const QString wayland = env.value(QStringLiteral("WAYLAND_DISPLAY"));
    const QString oldRuntime = env.value(QStringLiteral("XDG_RUNTIME_DIR"));
    if (!wayland.isEmpty() && !wayland.startsWith(QLatin1Char('/')) && !oldRuntime.isEmpty())
        env.insert(QStringLiteral("WAYLAND_DISPLAY"), oldRuntime + QLatin1Char('/') + wayland);
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_runtime->path());
    return env;
}

void PanelProcess::onFinished(int code, QProcess::ExitStatus how)
{
    if (m_reported)
        return;
    m_reported = true;
    m_printed += QString::fromLocal8Bit(m_process.readAllStandardError());
    QString summary;
    int status = code;
    if (how == QProcess::CrashExit) {
        // Qt gives the signal's number as the code of a crashed process.
        status = 128 + code;
        summary
            = tr("ended by signal %1 (%2).").arg(code).arg(QString::fromLocal8Bit(strsignal(code)));
    } else if (code == kLauncherRefused || code == kLauncherFailed) {
        // The launcher cannot know that the simulator is what to run as root.
        if (code == kLauncherRefused) {
            const QString hint = tr("servo-sim: or run the simulator as root on your display:\n"
                                    "    sudo --preserve-env=DISPLAY,XAUTHORITY %1\n")
                                     .arg(QCoreApplication::applicationFilePath());
            std::fputs(qPrintable(hint), stderr);
            m_printed += hint;
        }
        summary = tr("not started.");
    } else if (code == 0) {
        summary = tr("ended normally (status 0).");
    } else {
        summary = tr("ended with status %1.").arg(code);
    }
    emit ended(status, summary, m_printed.trimmed());
}

void PanelProcess::onError(QProcess::ProcessError error)
{
    if (error != QProcess::FailedToStart || m_reported)
        return;
    m_reported = true;
    emit ended(127, tr("could not be started: %1").arg(m_process.errorString()), m_printed);
}

} // namespace servo::sim
