# Manual pages, the install rules that make the programs root's, and the
# Debian package. Included from the top level after the programs' own install
# rule and after include(CTest).

# The pages name the compiled-in install root, so each build makes its own.
set(ZUN_MAN_PAGES hookset routeset permitset mtactl)
set(ZUN_MAN_DIR ${CMAKE_CURRENT_BINARY_DIR}/man)
find_program(ZUN_GZIP gzip)
mark_as_advanced(ZUN_GZIP)
set(ZUN_MAN_BUILT)
foreach(page IN LISTS ZUN_MAN_PAGES)
  configure_file(man/${page}.8 ${ZUN_MAN_DIR}/${page}.8 @ONLY)
  set(installed ${ZUN_MAN_DIR}/${page}.8)
  # Debian ships manual pages compressed; -n keeps the result reproducible.
  if(ZUN_GZIP)
    execute_process(COMMAND ${ZUN_GZIP} -9n -c ${page}.8
      WORKING_DIRECTORY ${ZUN_MAN_DIR}
      OUTPUT_FILE ${ZUN_MAN_DIR}/${page}.8.gz
      RESULT_VARIABLE gzip_rc)
    if(NOT gzip_rc EQUAL 0)
      message(FATAL_ERROR "gzip of ${page}.8 failed: ${gzip_rc}")
    endif()
    set(installed ${ZUN_MAN_DIR}/${page}.8.gz)
  endif()
  list(APPEND ZUN_MAN_BUILT ${ZUN_MAN_DIR}/${page}.8)
  install(FILES ${installed} DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
endforeach()

# The sanitizers take their options from the environment (a log path among
# them), which no set-user-id program may do.
if(ZUN_SANITIZE)
  install(CODE [[message(WARNING
    "This build has ZUN_SANITIZE=ON: use it for tests only, never install it set-user-id.")]])
endif()

# chown clears the set-user-id bit, so the mode is set again after it. Only
# root can hand the programs to root; anyone else installs them as their own.
install(CODE "set(ZUN_SBINDIR \"${CMAKE_INSTALL_SBINDIR}\")")
install(CODE "set(ZUN_PROGRAMS \"${ZUN_PROGRAMS}\")")
install(CODE [[
  execute_process(COMMAND id -u OUTPUT_VARIABLE zun_uid OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(zun_uid STREQUAL "0")
    if(IS_ABSOLUTE "${ZUN_SBINDIR}")
      set(zun_dir "$ENV{DESTDIR}${ZUN_SBINDIR}")
    else()
      set(zun_dir "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/${ZUN_SBINDIR}")
    endif()
    foreach(prog IN LISTS ZUN_PROGRAMS)
      execute_process(COMMAND chown 0:0 "${zun_dir}/${prog}" RESULT_VARIABLE rc)
      if(rc EQUAL 0)
        execute_process(COMMAND chmod 4755 "${zun_dir}/${prog}" RESULT_VARIABLE rc)
      endif()
      if(NOT rc EQUAL 0)
        message(FATAL_ERROR "Could not make ${zun_dir}/${prog} root's, mode 4755")
      endif()
    endforeach()
  endif()
]])

# The Debian package: cpack -G DEB in the build tree.
set(ZUN_PACKAGE_CONTACT "Zun maintainers <root@localhost>" CACHE STRING
    "Maintainer field of the Debian package")
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zun-suid)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${ZUN_PACKAGE_CONTACT}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "set-user-id tools that edit and control the product's private sendmail")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "hookset, routeset, permitset and mtactl, installed set-user-id root.
They edit the milter declarations, relay hosts and access entries of the
product's private sendmail and start, stop and reconfigure it. Built for
the install root ${ZUN_PATH}; only the owner of its bin/zun may run them.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
find_program(ZUN_DPKG_SHLIBDEPS dpkg-shlibdeps)
mark_as_advanced(ZUN_DPKG_SHLIBDEPS)
if(ZUN_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6, libgcc-s1")
endif()
include(CPack)

if(BUILD_TESTING)
  find_program(ZUN_MANDOC mandoc)
  mark_as_advanced(ZUN_MANDOC)
  if(ZUN_MANDOC)
    add_test(NAME man_lint COMMAND ${ZUN_MANDOC} -T lint -W warning ${ZUN_MAN_BUILT})
  else()
    add_test(NAME man_lint COMMAND ${CMAKE_COMMAND} -E echo
             "SKIP: mandoc is not installed (Debian package mandoc)")
    set_tests_properties(man_lint PROPERTIES SKIP_REGULAR_EXPRESSION "SKIP:")
  endif()
  # It builds the sources twice more on its own: for the placeholder, whose
  # install must be refused, and for a real-looking root, which it packages.
  add_test(NAME package_deb
    COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/tests/package_test.sh
            ${CMAKE_COMMAND} ${CMAKE_CPACK_COMMAND} ${CMAKE_CURRENT_SOURCE_DIR}
            ${CMAKE_GENERATOR} ${CMAKE_CXX_COMPILER})
  set_tests_properties(package_deb PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 600)
endif()
