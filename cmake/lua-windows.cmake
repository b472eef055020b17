# lua52.dll and its import library, built from Debian's own Lua 5.2 source package, which is
# fetched and unpacked into the build tree when the build needs it (tools/lua-source).
enable_language(C)

set(lua_dir ${CMAKE_BINARY_DIR}/lua-source/lua5.2/src)
# The engine and its libraries as Debian's package builds them; lua.c and luac.c are programs.
set(lua_names
    lapi lcode lctype ldebug ldo ldump lfunc lgc llex lmem lobject lopcodes lparser lstate lstring
    ltable ltm lundump lvm lzio lauxlib lbaselib lbitlib lcorolib ldblib liolib lmathlib loslib
    lstrlib ltablib loadlib linit)
list(TRANSFORM lua_names PREPEND ${lua_dir}/ OUTPUT_VARIABLE lua_sources)
list(TRANSFORM lua_sources APPEND .c)

add_custom_command(
  OUTPUT ${lua_sources} ${lua_dir}/lua.h ${lua_dir}/lua.hpp
  COMMAND sh ${PROJECT_SOURCE_DIR}/tools/lua-source ${CMAKE_BINARY_DIR}/lua-source
  COMMENT "Unpacking Debian's lua5.2 source package"
  VERBATIM)

# The DLL's version information and the licence shipped beside it, as lua.h states them.
set(lua_about ${CMAKE_BINARY_DIR}/lua-about)
add_custom_command(
  OUTPUT ${lua_about}/lua52-version.h ${lua_about}/LICENSE-Lua.txt
  COMMAND ${CMAKE_COMMAND} -DLUA_H=${lua_dir}/lua.h -DHEADER=${lua_about}/lua52-version.h
          -DLICENCE=${lua_about}/LICENSE-Lua.txt -P ${CMAKE_CURRENT_LIST_DIR}/lua-about.cmake
  DEPENDS ${lua_dir}/lua.h ${CMAKE_CURRENT_LIST_DIR}/lua-about.cmake
  COMMENT "Reading the engine's version and licence"
  VERBATIM)

add_library(lua52 SHARED ${lua_sources} res/lua52.rc)
set_target_properties(lua52 PROPERTIES PREFIX "")
target_include_directories(lua52 PUBLIC ${lua_dir})
set_source_files_properties(res/lua52.rc PROPERTIES
  INCLUDE_DIRECTORIES ${lua_about}
  OBJECT_DEPENDS "${lua_about}/lua52-version.h;${PROJECT_SOURCE_DIR}/res/version.rc")
# LUA_BUILD_AS_DLL exports the API from the DLL and imports it in the program.
target_compile_definitions(lua52 PUBLIC LUA_BUILD_AS_DLL PRIVATE LUA_COMPAT_ALL)
# The engine as scripts see it on Linux, where long is 64 bits: string.format's integer
# conversions take 64-bit integers, and file:seek reaches past 2 GiB through the 64-bit calls.
target_compile_definitions(lua52 PRIVATE LUA_USE_LONGLONG l_fseek=_fseeki64 l_ftell=_ftelli64
                                         l_seeknum=__int64)
