# Installs quillet where a Debian user looks for a command-line tool, and packs it as a .deb.
include(GNUInstallDirs)

# man finds compressed pages, and Debian ships them compressed; -n keeps the bytes reproducible.
find_program(GZIP gzip REQUIRED)
add_custom_command(
  OUTPUT quillet.1.gz
  COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/doc/quillet.1 quillet.1
  COMMAND ${GZIP} -9nf quillet.1
  DEPENDS doc/quillet.1
  VERBATIM)
add_custom_target(manpage ALL DEPENDS quillet.1.gz)

install(TARGETS quillet RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/quillet.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

set(CPACK_PACKAGE_NAME quillet)
set(CPACK_PACKAGE_CONTACT "quillet maintainers <maintainers@users.noreply.c-seed-fef32ea7.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "run one Lua 5.2 chunk and print its result")
set(CPACK_PACKAGE_DESCRIPTION "\
quillet runs one Lua 5.2 chunk, from a script file or typed on standard
input, in a fresh Lua state and prints the value it leaves on top of the
stack: its last result, or the error value. It is meant for shells, build
scripts and test harnesses.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION interpreters)
# dpkg-shlibdeps names the runtime packages of the linked libraries (liblua5.2-0, not the -dev one).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Adds the copyright file and changelog Debian requires, and makes the package the same bytes
# wherever, whenever and under whatever umask it is packed (see the scripts); the CPACK_QUILLET_
# variables carry what they need into cpack.
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/deb/time.cmake)
set(CPACK_INSTALL_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/deb/docs.cmake)
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/deb/tree-modes.cmake)
set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/deb/ar-modes.cmake)
set(CPACK_QUILLET_SOURCE_DIR ${PROJECT_SOURCE_DIR})
set(CPACK_QUILLET_GZIP ${GZIP})
include(CPack)
