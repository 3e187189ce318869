#pragma once

#include "pseudo_terminal.h"

#include <QByteArray>
#include <QObject>
#include <QSocketNotifier>
#include <QString>

#include <memory>

namespace servo::sim {

// The controller's end of a pseudo-terminal: the panel opens the slave as its serial
// port, this end reads what the panel sent. It has no way to write.
class PtyLine : public QObject {
    Q_OBJECT

public:
    explicit PtyLine(QObject* parent = nullptr);
    ~PtyLine() override;

    // Empty on success, else the reason.
    QString open();
    QString slavePath() const { return m_slavePath; }
    // The line as the panel set it up ("9600 8N1").
    QString settings() const;
    // Reads what is waiting now, without waiting for the event loop to notice it.
    void readAvailable();

signals:
    void received(const QByteArray& bytes);
    void failed(const QString& reason);

private:
    std::unique_ptr<support::PseudoTerminal> m_line;
    QString m_slavePath;
    std::unique_ptr<QSocketNotifier> m_notifier;
};

} // namespace servo::sim
