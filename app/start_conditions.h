#pragma once

namespace servo {

// What the program needs of the way it was started, set right before anything else runs.

// Standard input, output and error that the starter left closed (a launcher, a service) are
// opened on the null device. Otherwise the next file opened takes the number: the signal pipe
// would read Qt's warnings as signals, the display's connection would get them written into it.
void OpenClosedStandardStreams();

// Qt aborts, with a core dump and advice to reinstall, when it reaches no display. Instead the
// program says what is missing and how to start it, and ends with status 1. Nothing is open
// yet then: no port, no lock.
void ExplainAMissingDisplay();

} // namespace servo
