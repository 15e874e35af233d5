# Installation in the layout of a FreeBSD port under CMAKE_INSTALL_PREFIX:
#
#   PREFIX/sbin/vantrel                 the program
#   PREFIX/share/man/man8/vantrel.8     its manual
#   PREFIX/etc/rc.d/vantrel             rc.d script, naming PREFIX/sbin/vantrel
#                                       (not with VANTREL_RC_SCRIPT off)
#   PREFIX/bin/vantrelctl               the group members' client
#   PREFIX/share/man/man1/vantrelctl.1  its manual
#
# DESTDIR is honoured, as by every install rule. The port's pkg-plist
# (freebsd/port) lists what this installs with the port's options; the
# install test compares the two.

if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT)
  set(CMAKE_INSTALL_PREFIX /usr/local CACHE PATH "Installation prefix" FORCE)
endif()

install(TARGETS vantrel DESTINATION sbin)
install(FILES ${PROJECT_SOURCE_DIR}/freebsd/vantrel.8 DESTINATION share/man/man8)
install(TARGETS vantrelctl DESTINATION bin)
install(FILES ${PROJECT_SOURCE_DIR}/freebsd/vantrelctl.1 DESTINATION share/man/man1)

# The rc.d template has %%PREFIX%% where the prefix goes, as a port's
# files/*.in has, so that the port's copy (freebsd/port/files/vantrel.in) is
# the template itself. It is filled in when it is installed, not when the
# build is configured, so that it names the binary's real location even
# when the prefix is changed at install time (cmake --install --prefix).
set(VANTREL_RC_TEMPLATE ${PROJECT_SOURCE_DIR}/freebsd/vantrel.in)
set(VANTREL_RC_STAGE ${PROJECT_BINARY_DIR}/freebsd/install)
if(VANTREL_RC_SCRIPT)
  install(CODE "
    file(READ [[${VANTREL_RC_TEMPLATE}]] vantrel_rc)
    string(REPLACE \"%%PREFIX%%\" \"\${CMAKE_INSTALL_PREFIX}\" vantrel_rc \"\${vantrel_rc}\")
    file(WRITE [[${VANTREL_RC_STAGE}/vantrel]] \"\${vantrel_rc}\")
    file(INSTALL DESTINATION \"\${CMAKE_INSTALL_PREFIX}/etc/rc.d\" TYPE FILE
         PERMISSIONS OWNER_READ OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                     WORLD_READ WORLD_EXECUTE
         FILES [[${VANTREL_RC_STAGE}/vantrel]])
  ")
endif()

if(VANTREL_TESTS AND NOT VANTREL_SANITIZE)
  # The top-level file enables testing only after this file is included.
  # The sanitizer build skips these: they check files, not the program.
  enable_testing()

  # A copy filled in with this build's prefix, for the lint test, which
  # also checks the template itself in case this copy is stale.
  file(READ ${VANTREL_RC_TEMPLATE} vantrel_rc)
  string(REPLACE "%%PREFIX%%" "${CMAKE_INSTALL_PREFIX}" vantrel_rc "${vantrel_rc}")
  file(WRITE ${PROJECT_BINARY_DIR}/freebsd/vantrel "${vantrel_rc}")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${VANTREL_RC_TEMPLATE})

  add_test(NAME install_tree
           COMMAND sh ${PROJECT_SOURCE_DIR}/tests/install/check-install.sh
                   ${CMAKE_COMMAND} ${PROJECT_SOURCE_DIR} "${CMAKE_GENERATOR}"
                   ${CMAKE_CXX_COMPILER})
  set_tests_properties(install_tree PROPERTIES TIMEOUT 900)

  add_test(NAME packaging_lint
           COMMAND sh ${PROJECT_SOURCE_DIR}/tests/install/lint.sh
                   ${PROJECT_BINARY_DIR}/freebsd/vantrel
                   ${PROJECT_SOURCE_DIR}/freebsd/vantrel.8
                   ${PROJECT_SOURCE_DIR}/freebsd/vantrelctl.1
                   ${VANTREL_RC_TEMPLATE}
                   ${PROJECT_SOURCE_DIR}/tests/install/check-install.sh
                   ${PROJECT_SOURCE_DIR}/tests/install/lint.sh)
endif()
