#pragma once

#include <QObject>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>

#include <memory>

namespace servo::sim {

// The real panel, started by support's stand-in launcher with the simulator's pseudo-terminal
// standing in for /dev/ttyS0. What it prints on standard error is kept (and passed on), so
// that how it ended can be shown.
class PanelProcess : public QObject {
    Q_OBJECT

public:
    explicit PanelProcess(QObject* parent = nullptr);
    ~PanelProcess() override;

    void start(const QString& launcher, const QString& slave, const QString& panel);
    bool running() const { return m_process.state() != QProcess::NotRunning; }

signals:
    void started(qint64 pid);
    // `status`: the exit status, or 128 + the signal that ended it.
    void ended(int status, const QString& summary, const QString& printed);

private:
    QProcessEnvironment PanelEnvironment();
    void onFinished(int code, QProcess::ExitStatus how);
    void onError(QProcess::ProcessError error);

    QProcess m_process;
    std::unique_ptr<QTemporaryDir> m_runtime; // the panel's XDG_RUNTIME_DIR
    QString m_printed;
    bool m_reported = false;
};

// The launcher's own exit statuses: it said why on standard error, the panel never ran.
constexpr int kLauncherRefused = 97; // no user namespaces for this user
constexpr int kLauncherFailed = 98; // the stand-in could not be put in place

} // namespace servo::sim
