#pragma once

#include "pty.h"
#include "serial_link.h"

#include <QSignalSpy>

namespace servo::test {

// A link opened on a pseudo-terminal of its own, its failures counted. Take it apart with
// `auto& [pty, link, failures, opened] = line;`.
struct LinkOnPty {
    Pty pty;
    SerialLink link { pty.path() };
    QSignalSpy failures { &link, &SerialLink::failed };
    bool opened = link.open();
};

} // namespace servo::test
