# Run by `cmake --install`: writes the user unit and the autostart entry for
# the prefix being installed to and installs them. Set by the caller:
# CW_PACKAGING_SOURCE_DIR, CW_PACKAGING_STAGING_DIR, CW_INSTALL_BINDIR and
# CW_INSTALL_SYSCONFDIR (as configured, relative to the prefix or absolute).

function(cw_full_install_dir result dir)
  if(IS_ABSOLUTE "${dir}")
    set(${result} "${dir}" PARENT_SCOPE)
  else()
    set(${result} "${CMAKE_INSTALL_PREFIX}/${dir}" PARENT_SCOPE)
  endif()
endfunction()

cw_full_install_dir(CW_FULL_BINDIR "${CW_INSTALL_BINDIR}")
set(CW_INSTALLED_AGENT "${CW_FULL_BINDIR}/CrashWatcher")
# Both files would need their own quoting for anything else; a path that
# needs it is refused rather than written half right.
if(NOT CW_INSTALLED_AGENT MATCHES "^[A-Za-z0-9/._+-]+$")
  message(FATAL_ERROR "The user unit and the autostart entry cannot name '${CW_INSTALLED_AGENT}': "
                      "install to a prefix of letters, digits and / . _ + - only.")
endif()
# As GNUInstallDirs has it: the system configuration folder of /usr (and of /)
# is /etc, that of any other prefix lies below the prefix.
if(NOT IS_ABSOLUTE "${CW_INSTALL_SYSCONFDIR}" AND CMAKE_INSTALL_PREFIX MATCHES "^/(usr/?)?$")
  set(CW_FULL_SYSCONFDIR "/${CW_INSTALL_SYSCONFDIR}")
else()
  cw_full_install_dir(CW_FULL_SYSCONFDIR "${CW_INSTALL_SYSCONFDIR}")
endif()

configure_file("${CW_PACKAGING_SOURCE_DIR}/crashwatcher.service.in"
               "${CW_PACKAGING_STAGING_DIR}/crashwatcher.service" @ONLY)
configure_file("${CW_PACKAGING_SOURCE_DIR}/crashwatcher-autostart.desktop.in"
               "${CW_PACKAGING_STAGING_DIR}/crashwatcher.desktop" @ONLY)
# systemd looks for user units in <prefix>/lib/systemd/user, never in a
# multiarch library folder.
file(INSTALL DESTINATION "${CMAKE_INSTALL_PREFIX}/lib/systemd/user" TYPE FILE
     FILES "${CW_PACKAGING_STAGING_DIR}/crashwatcher.service")
file(INSTALL DESTINATION "${CW_FULL_SYSCONFDIR}/xdg/autostart" TYPE FILE
     FILES "${CW_PACKAGING_STAGING_DIR}/crashwatcher.desktop")
