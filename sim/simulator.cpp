#include "simulator.h"

namespace servo::sim {

Simulator::Simulator(QObject* parent)
    : QObject(parent)
{
    m_clock.start();
    m_quiet.setSingleShot(true);
    m_quiet.setInterval(kQuietMs);
    connect(&m_quiet, &QTimer::timeout, this, &Simulator::settle);
}

void Simulator::receive(const QByteArray& bytes)
{
    const qint64 now = m_clock.elapsed();
    if (m_firstByteMs < 0)
        m_firstByteMs = now;
    publish(m_decoder.feed(std::string_view(bytes.constData(), bytes.size()), now));
    if (m_decoder.holding())
        m_quiet.start();
    else
        m_quiet.stop();
}

void Simulator::settle()
{
    m_quiet.stop();
    publish(m_decoder.settle());
}

void Simulator::publish(const std::vector<LineEvent>& events)
{
    for (const LineEvent& event : events) {
        Record record;
        record.frame = event.kind == LineEvent::Kind::Frame;
        record.bytes = QByteArray::fromStdString(event.bytes);
        record.atMs = event.atMs - m_firstByteMs;
        if (record.frame) {
            record.channel = event.channel;
            record.value = event.value;
            qint64& last = m_lastMs[event.channel];
            record.sinceMs = last < 0 ? -1 : event.atMs - last;
            last = event.atMs;
            record.channelFrames = ++m_frames[event.channel];
        } else {
            m_invalidBytes += record.bytes.size();
        }
        record.invalidBytes = m_invalidBytes;
        emit decoded(record);
    }
}

} // namespace servo::sim
