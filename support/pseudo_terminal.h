#pragma once

#include <string>
#include <termios.h>

namespace servo::support {

// A pseudo-terminal standing in for the controller's serial line: the panel opens the
// terminal side (`path`) as its port; the far end reads at the master what the panel sent.
// Both ends are close-on-exec, so a started panel holds neither, and the master does not
// block. The terminal side stays open here too, so the master sees no hang-up between two
// panels, until hangUp().
class PseudoTerminal {
public:
    // Throws std::runtime_error naming the call that failed.
    PseudoTerminal();
    // The terminal side is never unlocked: opening it fails with an input/output error, as a
    // serial port with no UART behind it does.
    struct NeverUnlocked { };
    explicit PseudoTerminal(NeverUnlocked);
    ~PseudoTerminal();
    PseudoTerminal(const PseudoTerminal&) = delete;
    PseudoTerminal& operator=(const PseudoTerminal&) = delete;

    const std::string& path() const { return m_path; }
    int master() const { return m_master; }

    // The line as the panel set it up.
    termios settings() const;
    // Nothing echoed or translated until the panel sets the line up.
    void makeRaw();
    // The line stops taking output (as after XOFF) until released.
    void holdOutput(bool held);
    // The far end sends bytes to the panel.
    void send(const std::string& bytes);
    // The far end goes away, as an unplugged adapter does.
    void hangUp();

private:
    int m_master = -1;
    int m_slave = -1;
    std::string m_path;
};

} // namespace servo::support
