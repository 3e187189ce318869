# The distribution's hardening, as Debian builds its own packages: stack protector, fortify,
# relro and bindnow from dpkg-buildflags; PIE asked for here, since Debian's compiler makes
# it by default and dpkg-buildflags then names no flag for it.
set(CMAKE_POSITION_INDEPENDENT_CODE ON)
include(CheckPIESupported)
check_pie_supported()
find_program(DPKG_BUILDFLAGS dpkg-buildflags)
if(DPKG_BUILDFLAGS)
  foreach(kind CPPFLAGS CXXFLAGS LDFLAGS)
    execute_process(
      COMMAND ${CMAKE_COMMAND} -E env DEB_BUILD_MAINT_OPTIONS=hardening=+all
              ${DPKG_BUILDFLAGS} --get ${kind}
      OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
    separate_arguments(flags UNIX_COMMAND "${flags}")
    foreach(flag IN LISTS flags)
      # The build type chooses optimisation and debug information; file-prefix-map would
      # hide the sources from a debugger.
      if(flag MATCHES "^-(O|g|ffile-prefix-map=|fdebug-prefix-map=)")
        continue()
      elseif(flag MATCHES "^-[DU]_FORTIFY_SOURCE")
        # Fortify needs optimisation, and its checked copies hide accesses from ASan.
        if(NOT SERVO_SANITIZE)
          add_compile_options("$<$<NOT:$<CONFIG:Debug>>:${flag}>")
        endif()
      elseif(kind STREQUAL "LDFLAGS")
        add_link_options(${flag})
      else()
        add_compile_options(${flag})
      endif()
    endforeach()
  endforeach()
else()
  message(STATUS "dpkg-buildflags not found (dpkg-dev): building without Debian's hardening")
endif()
