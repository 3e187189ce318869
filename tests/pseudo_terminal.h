#pragma once

#include "hex.h"

#include <QString>

#include <chrono>
#include <string>
#include <termios.h>

namespace servo::test {

// A pseudo-terminal standing in for the controller: the panel opens the slave path,
// the test reads what arrives at the master.
class Pty
{
public:
    Pty();
    // The slave was never unlocked: opening it fails with an input/output error, as a
    // serial port with no UART behind it does.
    struct NeverUnlocked {};
    explicit Pty(NeverUnlocked);
    ~Pty();
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    QString path() const { return m_path; }

    // Reads until `count` bytes have arrived or the time is up, running the Qt event
    // loop meanwhile (the link writes from it).
    std::string read(size_t count, std::chrono::milliseconds limit = std::chrono::seconds(2));
    // Everything that arrives within `quiet` of silence.
    std::string readAll(std::chrono::milliseconds quiet = std::chrono::milliseconds(100));

    termios settings() const;
    // The line stops taking output (as after XOFF) until released; writes at the panel's
    // end meet a full line.
    void holdOutput(bool held);
    // The far end sends bytes to the panel, which never reads them.
    void send(const std::string& bytes);
    // The far end goes away, as an unplugged adapter does.
    void hangUp();

private:
    int m_master = -1;
    int m_slave = -1;
    QString m_path;
};

} // namespace servo::test
