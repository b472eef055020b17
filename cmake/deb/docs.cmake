# Run by cpack while it stages the package: the two files Debian wants in every package's
# /usr/share/doc, made from the project's LICENSE and version so they cannot drift from them.
# Made beside the staging tree; file(INSTALL) puts them under its DESTDIR.
set(doc "${CPACK_TOPLEVEL_DIRECTORY}/doc")
file(MAKE_DIRECTORY "${doc}")

# The licence in the machine-readable copyright format: DEP-5 calls the MIT licence Expat, and
# wants its text indented by one space, with " ." for an empty line.
file(READ "${CPACK_QUILLET_SOURCE_DIR}/LICENSE" licence)
if(NOT licence MATCHES "\nCopyright \\(c\\) ([^\n]+)\n(.+)$")
  message(FATAL_ERROR "LICENSE has no line 'Copyright (c) ...' followed by the licence text")
endif()
set(holders "${CMAKE_MATCH_1}")
string(STRIP "${CMAKE_MATCH_2}" text)
string(REGEX REPLACE "\n\n" "\n.\n" text "${text}")
string(REPLACE "\n" "\n " text "${text}")
file(WRITE "${doc}/copyright" "\
Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: quillet
Comment: quillet is released under the MIT licence, known to Debian as Expat.

Files: *
Copyright: ${holders}
License: Expat
 ${text}
")

# The changelog, dated like the package (see time.cmake); policy wants it compressed, gzip -n
# keeps the name and time out of the bytes.
string(TIMESTAMP date "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file("${CMAKE_CURRENT_LIST_DIR}/changelog.in" "${doc}/changelog" @ONLY)
execute_process(COMMAND "${CPACK_QUILLET_GZIP}" -9nf "${doc}/changelog" COMMAND_ERROR_IS_FATAL ANY)

set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS ${CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS})
file(INSTALL "${doc}/copyright" "${doc}/changelog.gz"
  DESTINATION "${CPACK_PACKAGING_INSTALL_PREFIX}/share/doc/quillet"
  PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
