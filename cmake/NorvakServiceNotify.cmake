# The monitor tells systemd of its readiness through libsystemd where the
# system has it (Debian: libsystemd-dev); elsewhere, FreeBSD among them,
# frame/service_notify.cpp builds as a no-op.
option(NORVAK_SYSTEMD "Report readiness to systemd through libsystemd when it is found" ON)
set(NORVAK_HAVE_LIBSYSTEMD OFF)
if(NORVAK_SYSTEMD)
  find_package(PkgConfig QUIET)
  if(PKG_CONFIG_FOUND)
    pkg_check_modules(NORVAK_LIBSYSTEMD QUIET IMPORTED_TARGET GLOBAL libsystemd)
  endif()
  if(NORVAK_LIBSYSTEMD_FOUND)
    set(NORVAK_HAVE_LIBSYSTEMD ON)
    target_link_libraries(norvak_frame PRIVATE PkgConfig::NORVAK_LIBSYSTEMD)
    target_compile_definitions(norvak_frame PRIVATE NORVAK_HAVE_LIBSYSTEMD=1)
  else()
    message(STATUS "libsystemd not found: no readiness reports to systemd")
  endif()
endif()
