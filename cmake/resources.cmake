# quillet.exe's resources. The icon and the packed source are made by the host tools, which are
# built for the build machine (not the target) as a project of their own.
include(ExternalProject)
set(host_tools ${CMAKE_BINARY_DIR}/host-tools)
set(make_icon ${host_tools}/make_icon)
set(lzss ${host_tools}/lzss/lzss)
ExternalProject_Add(host_tools
  SOURCE_DIR ${PROJECT_SOURCE_DIR}/tools
  BINARY_DIR ${host_tools}
  CMAKE_ARGS -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF
  INSTALL_COMMAND ""
  BUILD_ALWAYS ON
  BUILD_BYPRODUCTS ${make_icon} ${lzss})

set(res ${CMAKE_BINARY_DIR}/res)
add_custom_command(OUTPUT ${res}/quillet.ico
  COMMAND ${CMAKE_COMMAND} -E make_directory ${res}
  COMMAND ${make_icon} ${res}/quillet.ico
  DEPENDS host_tools ${make_icon}
  COMMENT "Drawing the icon")
add_custom_command(OUTPUT ${res}/quillet.cpp.lzss
  COMMAND ${CMAKE_COMMAND} -E make_directory ${res}
  COMMAND ${CMAKE_COMMAND} -DIN=${PROJECT_SOURCE_DIR}/src/quillet.cpp -DOUT=${res}/quillet.cpp
          -P ${CMAKE_CURRENT_LIST_DIR}/crlf.cmake
  COMMAND ${lzss} encode ${res}/quillet.cpp ${res}/quillet.cpp.lzss
  DEPENDS host_tools ${lzss} ${PROJECT_SOURCE_DIR}/src/quillet.cpp ${CMAKE_CURRENT_LIST_DIR}/crlf.cmake
  COMMENT "Packing the source")

# The manifest and the version information take the version from project(), and the copyright
# line from LICENSE.
file(STRINGS ${PROJECT_SOURCE_DIR}/LICENSE copyright REGEX "^Copyright " LIMIT_COUNT 1)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/LICENSE)
configure_file(res/quillet.manifest.in ${res}/quillet.manifest @ONLY)
file(CONFIGURE OUTPUT ${res}/version.h @ONLY CONTENT [[
#define VERSION_NUMBERS @PROJECT_VERSION_MAJOR@,@PROJECT_VERSION_MINOR@,@PROJECT_VERSION_PATCH@,0
#define VERSION_TEXT "@PROJECT_VERSION@"
#define VERSION_PRODUCT "quillet"
#define VERSION_DESCRIPTION "@PROJECT_DESCRIPTION@"
#define VERSION_NAME "quillet"
#define VERSION_FILE_NAME "quillet.exe"
#define VERSION_FILE_TYPE VFT_APP
#define VERSION_COPYRIGHT "@copyright@"
]])

target_sources(quillet PRIVATE res/quillet.rc)
set(rc_inputs ${res}/quillet.ico ${res}/quillet.cpp.lzss ${res}/quillet.manifest ${res}/version.h
              ${PROJECT_SOURCE_DIR}/res/version.rc)
set_source_files_properties(res/quillet.rc PROPERTIES
  INCLUDE_DIRECTORIES ${res}
  OBJECT_DEPENDS "${rc_inputs}")
