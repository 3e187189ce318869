// The panel's claim on its line on Windows: a COM port opens for one program at a time, so
// the open is the whole claim, and a refused one is "Access is denied." with no holder named.
#include "port_claim.h"

namespace servo::platform {

QStringList SystemLockFolders()
{
    return {};
}

struct LineClaim::State { };

LineClaim::LineClaim(QStringList)
    : m(std::make_unique<State>())
{
}

LineClaim::~LineClaim() = default;

LineClaim::Outcome LineClaim::take(const QString&)
{
    return Outcome::Claimed;
}

std::optional<PortHolder> LineClaim::holder() const
{
    return {};
}

QString LineClaim::reason() const
{
    return {};
}

void LineClaim::opened()
{
}

void LineClaim::release()
{
}

// A port is exclusive on Windows: "Access is denied." means another program has it open,
// and Windows does not say which.
std::optional<PortHolder> HolderOf(const QString&)
{
    return PortHolder {};
}

} // namespace servo::platform
