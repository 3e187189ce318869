// Loaded into the stand-in launcher by its tests (LD_PRELOAD). SERVO_REFUSE names a mount's
// target whose call fails, as the system may make it fail; SERVO_PRETEND one whose call
// succeeds without mounting anything.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <sys/mount.h>

static bool Names(const char* variable, const char* what)
{
    const char* name = std::getenv(variable);
    return name && what && std::strcmp(name, what) == 0;
}

extern "C" int mount(const char* source, const char* target, const char* type, unsigned long flags,
    const void* data) noexcept
{
    if (Names("SERVO_PRETEND", target))
        return 0;
    if (!Names("SERVO_REFUSE", target))
        return reinterpret_cast<decltype(&mount)>(::dlsym(RTLD_NEXT, "mount"))(
            source, target, type, flags, data);
    errno = EPERM;
    return -1;
}
