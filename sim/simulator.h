#pragma once

#include "frame_decoder.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

#include <array>

namespace servo::sim {

// One decoded frame, or a run of bytes that forms none, with what the displays need.
struct Record {
    bool frame = true;
    int channel = 0; // 0..3
    int value = 0;
    QByteArray bytes;
    qint64 atMs = 0; // since the first byte on the line
    qint64 sinceMs = -1; // since the channel's previous frame; -1 for its first
    int channelFrames = 0; // frames on this channel so far
    qint64 invalidBytes = 0; // on the whole line so far
};

// Turns what arrives on the line into records: decodes, times and counts.
class Simulator : public QObject {
    Q_OBJECT

public:
    // Bytes of a frame that may still grow wait this long for the next byte. The panel
    // writes each frame whole, so on a pseudo-terminal the rest never comes later; on a
    // real line at 9600 baud the next byte is 1 ms away.
    static constexpr int kQuietMs = 30;

    explicit Simulator(QObject* parent = nullptr);

    void receive(const QByteArray& bytes);
    // Decides what is still held (the panel ended, or the line went quiet).
    void settle();

signals:
    void decoded(const servo::sim::Record& record);

private:
    void publish(const std::vector<LineEvent>& events);

    FrameDecoder m_decoder;
    QElapsedTimer m_clock;
    qint64 m_firstByteMs = -1;
    QTimer m_quiet;
    std::array<qint64, 4> m_lastMs { -1, -1, -1, -1 };
    std::array<int, 4> m_frames {};
    qint64 m_invalidBytes = 0;
};

} // namespace servo::sim
