# What `cmake --install` and CPack put where.
#
# Relative destinations follow `cmake --install --prefix`; only a system
# prefix (/usr) gives absolute ones (/etc), as GNUInstallDirs has it, and
# those follow DESTDIR. Files that name installed paths (manual pages, the
# systemd unit, the rc.d script, the samples) are made here at configure
# time with the paths of the configured prefix.
include(GNUInstallDirs)

if(CMAKE_INSTALL_FULL_SYSCONFDIR STREQUAL "${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_SYSCONFDIR}")
  set(NORVAK_INSTALL_SYSCONFDIR "${CMAKE_INSTALL_SYSCONFDIR}")
else()
  set(NORVAK_INSTALL_SYSCONFDIR "${CMAKE_INSTALL_FULL_SYSCONFDIR}")
endif()
set(NORVAK_INSTALL_ETCDIR "${NORVAK_INSTALL_SYSCONFDIR}/norvak")
set(NORVAK_INSTALL_DOCDIR "${CMAKE_INSTALL_DATAROOTDIR}/doc/norvak-monitor")

# Installed paths as the programs and the administrator see them.
set(NORVAK_ETCDIR "${CMAKE_INSTALL_FULL_SYSCONFDIR}/norvak")
set(NORVAK_SBINDIR "${CMAKE_INSTALL_FULL_SBINDIR}")
set(NORVAK_BINDIR "${CMAKE_INSTALL_FULL_BINDIR}")
set(NORVAK_LIBEXECDIR "${CMAKE_INSTALL_FULL_LIBEXECDIR}")
set(NORVAK_DATADIR "${CMAKE_INSTALL_FULL_DATADIR}")
set(NORVAK_DOCDIR "${CMAKE_INSTALL_PREFIX}/${NORVAK_INSTALL_DOCDIR}")

set(_dist "${PROJECT_BINARY_DIR}/dist")
file(MAKE_DIRECTORY "${_dist}")
set(_sources
  examples/monitor.conf doc/conf2man.awk doc/norvak-monitor.8.in doc/norvak-monitor-ctl.8.in
  doc/norvak-monitor.conf.5.in doc/norvak-mmc.5.in doc/norvak-run.1.in
  packaging/norvak-monitor.service.in packaging/norvak_monitor.rc.in packaging/example.mmc.in)
foreach(_f ${_sources})
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${PROJECT_SOURCE_DIR}/${_f}")
endforeach()

# The sample configuration is examples/monitor.conf with the configuration
# directory of this prefix; its manual page is made from the sample itself.
file(READ "${PROJECT_SOURCE_DIR}/examples/monitor.conf" _conf)
string(REPLACE "\nMetaConfigDir = /etc/norvak/" "\nMetaConfigDir = ${NORVAK_ETCDIR}/" _conf "${_conf}")
file(WRITE "${_dist}/monitor.conf.sample" "${_conf}")

find_program(NORVAK_AWK NAMES awk mawk gawk nawk)
if(NOT NORVAK_AWK)
  message(FATAL_ERROR "awk is needed to make norvak-monitor.conf(5)")
endif()
execute_process(
  COMMAND "${NORVAK_AWK}" -f "${PROJECT_SOURCE_DIR}/doc/conf2man.awk" "${_dist}/monitor.conf.sample"
  OUTPUT_VARIABLE NORVAK_KEYS
  RESULT_VARIABLE _awk_status)
if(NOT _awk_status EQUAL 0)
  message(FATAL_ERROR "doc/conf2man.awk failed on examples/monitor.conf")
endif()
string(REGEX REPLACE "\n$" "" NORVAK_KEYS "${NORVAK_KEYS}")

set(NORVAK_MAN_PAGES norvak-monitor.8 norvak-monitor-ctl.8 norvak-monitor.conf.5 norvak-mmc.5 norvak-run.1)
foreach(_page ${NORVAK_MAN_PAGES})
  configure_file("${PROJECT_SOURCE_DIR}/doc/${_page}.in" "${_dist}/${_page}" @ONLY)
  string(REGEX MATCH "[0-9]$" _section "${_page}")
  install(FILES "${_dist}/${_page}" DESTINATION "${CMAKE_INSTALL_MANDIR}/man${_section}")
endforeach()
configure_file(packaging/norvak-monitor.service.in "${_dist}/norvak-monitor.service" @ONLY)
configure_file(packaging/norvak_monitor.rc.in "${_dist}/norvak_monitor" @ONLY)
# The example's server runs as the unprivileged user and its group.
if(CMAKE_SYSTEM_NAME STREQUAL "FreeBSD")
  set(NORVAK_EXAMPLE_USER nobody:nobody)
else()
  set(NORVAK_EXAMPLE_USER nobody:nogroup)
endif()
configure_file(packaging/example.mmc.in "${_dist}/example.mmc" @ONLY)

# `cmake --install --prefix` moves the files, not the paths written in them.
install(CODE "if(NOT CMAKE_INSTALL_PREFIX STREQUAL \"${CMAKE_INSTALL_PREFIX}\")
  message(WARNING \"Installing into \${CMAKE_INSTALL_PREFIX}, but the programs, the unit, the samples and the \"
                  \"pages name ${CMAKE_INSTALL_PREFIX}: configure with -DCMAKE_INSTALL_PREFIX=\${CMAKE_INSTALL_PREFIX}\")
endif()")
install(TARGETS norvak-monitor RUNTIME DESTINATION "${CMAKE_INSTALL_SBINDIR}")
install(TARGETS norvak-run RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}")
if(TARGET norvak-monitor-ctl)
  install(TARGETS norvak-monitor-ctl RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}")
endif()

# Samples only: the administrator's monitor.conf and monitor.meta/*.mmc are
# never written. The empty monitor.meta/ is the directory the sample names.
install(FILES "${_dist}/monitor.conf.sample" DESTINATION "${NORVAK_INSTALL_ETCDIR}")
install(FILES "${_dist}/example.mmc" DESTINATION "${NORVAK_INSTALL_ETCDIR}/monitor.meta.sample")
install(DIRECTORY DESTINATION "${NORVAK_INSTALL_ETCDIR}/monitor.meta")

option(NORVAK_INSTALL_SYSTEMD_UNIT "Install the systemd unit" ${LINUX})
if(CMAKE_SYSTEM_NAME STREQUAL "FreeBSD")
  set(_rc ON)
else()
  set(_rc OFF)
endif()
option(NORVAK_INSTALL_RC_SCRIPT "Install the FreeBSD rc.d script" ${_rc})
option(NORVAK_INSTALL_LOGROTATE "Install the logrotate file" ${LINUX})
if(NORVAK_INSTALL_SYSTEMD_UNIT)
  install(FILES "${_dist}/norvak-monitor.service" DESTINATION lib/systemd/system)
endif()
if(NORVAK_INSTALL_RC_SCRIPT)
  install(PROGRAMS "${_dist}/norvak_monitor" DESTINATION "${NORVAK_INSTALL_SYSCONFDIR}/rc.d")
endif()
if(NORVAK_INSTALL_LOGROTATE)
  install(FILES packaging/norvak-monitor.logrotate DESTINATION "${NORVAK_INSTALL_SYSCONFDIR}/logrotate.d"
          RENAME norvak-monitor)
endif()

install(FILES README.md DESTINATION "${NORVAK_INSTALL_DOCDIR}")

# Where bash-completion looks for a command's completion when it is first
# typed (its user directory follows XDG_DATA_DIRS, i.e. the prefix's share/).
if(TARGET norvak-monitor-ctl)
  install(FILES packaging/norvak-monitor-ctl.bash-completion
          DESTINATION "${CMAKE_INSTALL_DATADIR}/bash-completion/completions" RENAME norvak-monitor-ctl)
endif()

# A Debian package from the same rules: `cpack -G DEB` in a build configured
# with -DCMAKE_INSTALL_PREFIX=/usr (configuration in /etc/norvak), its
# programs stripped as `cmake --install --strip` strips them.
set(CPACK_PACKAGE_NAME norvak-monitor)
set(CPACK_PACKAGE_VENDOR "Norvak")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Components monitor of the Norvak mail-server suite")
set(CPACK_PACKAGE_DESCRIPTION
  "Starts the suite's programs in dependency order, keeps them alive, restarts\nthe ones that die, mails the administrator and reloads on SIGHUP.")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_CONTACT "Norvak administrators <root@localhost>")
set(CPACK_PACKAGING_INSTALL_PREFIX "${CMAKE_INSTALL_PREFIX}")
set(CPACK_GENERATOR DEB)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
find_program(NORVAK_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(NORVAK_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "python3, default-mta | mail-transport-agent")
include(CPack)
