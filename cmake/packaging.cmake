# Manual pages, the install rules that make the programs root's, and the
# Debian package. Included from the top level after the programs' own install
# rule and after include(CTest).

# The pages name the compiled-in install root and the directory the programs
# are installed in. The build tree's copies, which man_lint and the tests
# read, name the configured one; every install makes its own for the prefix
# it installs to (cpack's is /usr).
set(ZUN_MAN_PAGES hookset routeset permitset mtactl)
set(ZUN_MAN_DIR ${CMAKE_CURRENT_BINARY_DIR}/man)
set(ZUN_SBIN_PATH ${CMAKE_INSTALL_FULL_SBINDIR})
set(ZUN_MAN_BUILT)
foreach(page IN LISTS ZUN_MAN_PAGES)
  configure_file(man/${page}.8 ${ZUN_MAN_DIR}/${page}.8 @ONLY)
  list(APPEND ZUN_MAN_BUILT ${ZUN_MAN_DIR}/${page}.8)
endforeach()

find_program(ZUN_GZIP gzip)
mark_as_advanced(ZUN_GZIP)
install(CODE "set(ZUN_PATH \"${ZUN_PATH}\")
  set(PROJECT_VERSION \"${PROJECT_VERSION}\")
  set(ZUN_SBINDIR \"${CMAKE_INSTALL_SBINDIR}\")
  set(ZUN_MANDIR \"${CMAKE_INSTALL_MANDIR}\")
  set(ZUN_MAN_PAGES \"${ZUN_MAN_PAGES}\")
  set(ZUN_MAN_SOURCE \"${CMAKE_CURRENT_SOURCE_DIR}/man\")
  set(ZUN_MAN_STAGE \"${ZUN_MAN_DIR}/installed\")
  set(ZUN_GZIP \"${ZUN_GZIP}\")")
install(CODE [[
  # The installed directories, for this install's prefix; the rule that makes
  # the programs root's below uses zun_SBINDIR too.
  foreach(dir SBINDIR MANDIR)
    if(IS_ABSOLUTE "${ZUN_${dir}}")
      set(zun_${dir} "${ZUN_${dir}}")
    else()
      set(zun_${dir} "${CMAKE_INSTALL_PREFIX}/${ZUN_${dir}}")
    endif()
  endforeach()
  set(ZUN_SBIN_PATH "${zun_SBINDIR}")
  foreach(page IN LISTS ZUN_MAN_PAGES)
    configure_file("${ZUN_MAN_SOURCE}/${page}.8" "${ZUN_MAN_STAGE}/${page}.8" @ONLY)
    set(installed "${ZUN_MAN_STAGE}/${page}.8")
    # Debian ships manual pages compressed; -n keeps the result reproducible.
    if(ZUN_GZIP)
      execute_process(COMMAND "${ZUN_GZIP}" -9n -c "${page}.8"
        WORKING_DIRECTORY "${ZUN_MAN_STAGE}"
        OUTPUT_FILE "${ZUN_MAN_STAGE}/${page}.8.gz"
        RESULT_VARIABLE gzip_rc)
      if(NOT gzip_rc EQUAL 0)
        message(FATAL_ERROR "gzip of ${page}.8 failed: ${gzip_rc}")
      endif()
      set(installed "${installed}.gz")
    endif()
    file(INSTALL "${installed}" DESTINATION "${zun_MANDIR}/man8"
      PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  endforeach()
]])

# The sanitizers take their options from the environment (a log path among
# them), which no set-user-id program may do.
if(ZUN_SANITIZE)
  install(CODE [[message(WARNING
    "This build has ZUN_SANITIZE=ON: use it for tests only, never install it set-user-id.")]])
endif()

# chown clears the set-user-id bit, so the mode is set again after it. Only
# root can hand the programs to root; anyone else installs them as their own.
install(CODE "set(ZUN_PROGRAMS \"${ZUN_PROGRAMS}\")")
install(CODE [[
  execute_process(COMMAND id -u OUTPUT_VARIABLE zun_uid OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(zun_uid STREQUAL "0")
    set(zun_dir "$ENV{DESTDIR}${zun_SBINDIR}")
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

# What Debian's policy asks of every package besides its programs, and what
# any install gets too: the copyright file, in the machine-readable format
# with the licence from LICENSE, and the changelog, compressed.
set(ZUN_DOC_DIR ${CMAKE_CURRENT_BINARY_DIR}/doc)
file(READ LICENSE zun_license)
if(NOT zun_license MATCHES "^Copyright \\(c\\) ([^\n]+)\n\n(.+[^\n])\n*$")
  message(FATAL_ERROR "LICENSE must begin with its Copyright (c) line and an empty line")
endif()
set(ZUN_COPYRIGHT "${CMAKE_MATCH_1}")
string(REPLACE "\n\n" "\n.\n" ZUN_LICENSE_TEXT "${CMAKE_MATCH_2}")
string(REPLACE "\n" "\n " ZUN_LICENSE_TEXT " ${ZUN_LICENSE_TEXT}")
configure_file(cmake/deb/copyright.in ${ZUN_DOC_DIR}/copyright @ONLY)
# The package's version is the changelog's latest one.
file(STRINGS cmake/deb/changelog zun_latest LIMIT_COUNT 1)
string(FIND "${zun_latest}" "zun-suid (${PROJECT_VERSION}) " zun_at)
if(NOT zun_at EQUAL 0)
  message(FATAL_ERROR "cmake/deb/changelog must begin with an entry for zun-suid "
                      "(${PROJECT_VERSION}), not: ${zun_latest}")
endif()
set(zun_docs ${ZUN_DOC_DIR}/copyright)
if(ZUN_GZIP)
  execute_process(COMMAND ${ZUN_GZIP} -9n -c ${CMAKE_CURRENT_SOURCE_DIR}/cmake/deb/changelog
    OUTPUT_FILE ${ZUN_DOC_DIR}/changelog.gz RESULT_VARIABLE gzip_rc)
  if(NOT gzip_rc EQUAL 0)
    message(FATAL_ERROR "gzip of the changelog failed: ${gzip_rc}")
  endif()
  list(APPEND zun_docs ${ZUN_DOC_DIR}/changelog.gz)
endif()
install(FILES ${zun_docs} DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/zun-suid)

# The Debian package: cpack -G DEB in the build tree.
set(ZUN_PACKAGE_CONTACT "Zun maintainers <zun-suid@example.org>" CACHE STRING
    "Maintainer field of the Debian package")
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zun-suid)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${ZUN_PACKAGE_CONTACT}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "set-user-id helpers that manage a mail filter's private sendmail")
# CPack puts the summary above it. A line that begins with a blank is shown
# as it is, in a fixed-width font.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "A mail-filtering product keeps a sendmail installation of its own under
${ZUN_PATH}. The product's management application, which does not run
as root, changes and controls that installation through these four
programs, installed set-user-id root:
  hookset    declares a milter in its sendmail.mc, enabled or disabled;
  routeset   adds, edits and removes relay hosts of its mailertable;
  permitset  adds, edits and removes entries of its access table;
  mtactl     starts and stops its sendmail and switches the server
             between its gateway and hub roles.
Only the account that owns ${ZUN_PATH}bin/zun may run them. They
edit the source files only: the installation's own init script, which
mtactl runs, rebuilds sendmail.cf and the maps when it starts sendmail.
The installation itself is not part of this package.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
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
  # Niced, as it runs beside the tests that lay the install tree.
  add_test(NAME package_deb
    COMMAND nice -n 19 sh ${CMAKE_CURRENT_SOURCE_DIR}/tests/package_test.sh
            ${CMAKE_COMMAND} ${CMAKE_CPACK_COMMAND} ${CMAKE_CURRENT_SOURCE_DIR}
            ${CMAKE_GENERATOR} ${CMAKE_CXX_COMPILER})
  set_tests_properties(package_deb PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 600 COST 100)
endif()
