#pragma once

#include "simulator.h"

#include <QWidget>

#include <array>

class QLabel;
class QPlainTextEdit;
class QTreeWidget;

namespace servo::sim {

class TravelGauge;

// What the controller would make of the line: four servo positions, the recent frames,
// the bytes that form no frame, the line settings and how the panel is doing.
class SimWindow : public QWidget {
    Q_OBJECT

public:
    explicit SimWindow(QWidget* parent = nullptr);

    void showLine(const QString& device, const QString& settings);
    void showRecord(const Record& record);
    void showPanelRunning(qint64 pid);
    void showPanelAbsent(const QString& slave);
    void showPanelEnded(int status, const QString& summary, const QString& printed);

private:
    struct Channel {
        TravelGauge* gauge = nullptr;
        QLabel* value = nullptr;
        QLabel* hex = nullptr;
        QLabel* frames = nullptr;
    };

    void addRecent(const Record& record);

    std::array<Channel, 4> m_channels;
    QLabel* m_line = nullptr;
    QLabel* m_invalid = nullptr;
    QTreeWidget* m_recent = nullptr;
    QLabel* m_panel = nullptr;
    QPlainTextEdit* m_printed = nullptr;
    bool m_following = true;
};

} // namespace servo::sim
