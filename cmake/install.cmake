# Installation in the layout of a FreeBSD port under CMAKE_INSTALL_PREFIX:
#
#   PREFIX/sbin/vantrel          the program
#   PREFIX/man/man8/vantrel.8    its manual
#   PREFIX/etc/rc.d/vantrel      rc.d script, naming PREFIX/sbin/vantrel
#   PREFIX/bin/vantrelctl        the group members' client
#   PREFIX/man/man1/vantrelctl.1 its manual
#
# DESTDIR is honoured, as by every install rule.

if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT)
  set(CMAKE_INSTALL_PREFIX /usr/local CACHE PATH "Installation prefix" FORCE)
endif()

install(TARGETS vantrel DESTINATION sbin)
install(FILES ${PROJECT_SOURCE_DIR}/freebsd/vantrel.8 DESTINATION man/man8)
install(TARGETS vantrelctl DESTINATION bin)
install(FILES ${PROJECT_SOURCE_DIR}/freebsd/vantrelctl.1 DESTINATION man/man1)

# The rc.d script is filled in when it is installed, not when the build is
# configured, so that it names the binary's real location even when the
# prefix is changed at install time (cmake --install --prefix).
set(VANTREL_RC_TEMPLATE ${PROJECT_SOURCE_DIR}/freebsd/vantrel.in)
set(VANTREL_RC_STAGE ${PROJECT_BINARY_DIR}/freebsd/install)
install(CODE "
  configure_file([[${VANTREL_RC_TEMPLATE}]] [[${VANTREL_RC_STAGE}/vantrel]] @ONLY)
  file(INSTALL DESTINATION \"\${CMAKE_INSTALL_PREFIX}/etc/rc.d\" TYPE FILE
       PERMISSIONS OWNER_READ OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                   WORLD_READ WORLD_EXECUTE
       FILES [[${VANTREL_RC_STAGE}/vantrel]])
")

if(VANTREL_TESTS AND NOT VANTREL_SANITIZE)
  # The top-level file enables testing only after this file is included.
  # The sanitizer build skips these: they check files, not the program.
  enable_testing()

  # A copy configured with this build's prefix, for the lint test, which
  # also checks the template itself in case this copy is stale.
  configure_file(${VANTREL_RC_TEMPLATE} ${PROJECT_BINARY_DIR}/freebsd/vantrel @ONLY)

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
