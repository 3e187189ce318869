# 64-bit ARM Linux (a Raspberry Pi's Raspberry Pi OS, Debian arm64) with Debian's cross compiler
# and the arm64 libraries installed beside the host's (multiarch: scripts/setup.sh arm64).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

# Libraries and packages from the arm64 folders (lib/aarch64-linux-gnu, by the architecture
# above); programs (moc, rcc, uic, rsvg-convert) and Qt's host tools of the host.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
if(NOT QT_HOST_PATH)
  set(QT_HOST_PATH /usr)
endif()
set(QT_HOST_PATH_CMAKE_DIR /usr/lib/${CMAKE_HOST_SYSTEM_PROCESSOR}-linux-gnu/cmake)

# pkg-config reads the arm64 libraries' descriptions only.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${CMAKE_LIBRARY_ARCHITECTURE}/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")

# dpkg-buildflags gives the hardening flags of the target architecture.
set(ENV{DEB_HOST_ARCH} arm64)

# The package is for arm64, its dependencies read from the arm64 libraries.
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)

# Tests run under qemu's user mode.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64-static)
