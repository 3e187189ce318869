#pragma once

#include "hex.h"
#include "pseudo_terminal.h"
#include "serial_link.h"

#include <QSignalSpy>
#include <QString>

#include <chrono>
#include <string>
#include <termios.h>

namespace servo::test {

// A pseudo-terminal standing in for the controller: the panel opens `path`, the test reads
// what arrives, running the Qt event loop meanwhile (the link writes from it).
class Pty {
public:
    Pty() = default;
    using NeverUnlocked = support::PseudoTerminal::NeverUnlocked;
    explicit Pty(NeverUnlocked never)
        : m_line(never)
    {
    }

    QString path() const { return QString::fromStdString(m_line.path()); }

    // Reads until `count` bytes have arrived or the time is up.
    std::string read(size_t count, std::chrono::milliseconds limit = std::chrono::seconds(2));
    // Everything that arrives within `quiet` of silence.
    std::string readAll(std::chrono::milliseconds quiet = std::chrono::milliseconds(100));

    termios settings() const { return m_line.settings(); }
    void holdOutput(bool held) { m_line.holdOutput(held); }
    // The far end sends bytes to the panel, which never reads them.
    void send(const std::string& bytes) { m_line.send(bytes); }
    void hangUp() { m_line.hangUp(); }

private:
    support::PseudoTerminal m_line;
};

// A link opened on a pseudo-terminal of its own, its failures counted. Take it apart with
// `auto& [pty, link, failures, opened] = line;`.
struct LinkOnPty {
    Pty pty;
    SerialLink link { pty.path() };
    QSignalSpy failures { &link, &SerialLink::failed };
    bool opened = link.open();
};

} // namespace servo::test
