#include "start_conditions.h"

namespace servo {

// A GUI program on Windows has no standard streams to lose, and its platform always has a
// display.
void OpenClosedStandardStreams()
{
}

void ExplainAMissingDisplay()
{
}

} // namespace servo
