#pragma once

#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace servo::platform {

// The kernel lets CAP_SYS_ADMIN open a tty that another program holds in exclusive mode
// (TIOCEXCL). While this lives, the calling thread goes without it, so such an open is
// refused with EBUSY exactly as for any user. A probe of our own (open, TIOCGEXCL, close)
// would leave a window for another program to claim the line between probe and open, and
// its close could drop DTR and RTS on a line nobody else holds.
class ExclusiveHoldsHonoured {
public:
    ExclusiveHoldsHonoured()
    {
        if (::syscall(SYS_capget, &m_header, m_saved) != 0
            || !(m_saved[kIndex].effective & CAP_TO_MASK(CAP_SYS_ADMIN)))
            return;
        __user_cap_data_struct lowered[2] = { m_saved[0], m_saved[1] };
        lowered[kIndex].effective &= ~CAP_TO_MASK(CAP_SYS_ADMIN);
        m_lowered = ::syscall(SYS_capset, &m_header, lowered) == 0;
    }
    ~ExclusiveHoldsHonoured()
    {
        if (m_lowered)
            ::syscall(SYS_capset, &m_header, m_saved);
    }
    ExclusiveHoldsHonoured(const ExclusiveHoldsHonoured&) = delete;
    ExclusiveHoldsHonoured& operator=(const ExclusiveHoldsHonoured&) = delete;

private:
    static constexpr int kIndex = CAP_TO_INDEX(CAP_SYS_ADMIN);
    __user_cap_header_struct m_header { _LINUX_CAPABILITY_VERSION_3, 0 };
    __user_cap_data_struct m_saved[2] {};
    bool m_lowered = false;
};

} // namespace servo::platform
