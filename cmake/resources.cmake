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

target_sources(quillet PRIVATE res/quillet.rc)
set_source_files_properties(res/quillet.rc PROPERTIES
  INCLUDE_DIRECTORIES ${res}
  OBJECT_DEPENDS "${res}/quillet.ico;${res}/quillet.cpp.lzss")
