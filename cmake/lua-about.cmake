# cmake -DLUA_H=FILE -DHEADER=FILE -DLICENCE=FILE -P lua-about.cmake: what lua52.dll says about
# itself, taken from the engine's own lua.h: its version information for the resource script
# (HEADER), and its licence text with CR LF line ends (LICENCE).
file(READ "${LUA_H}" lua_h)

foreach(part MAJOR MINOR RELEASE)
  if(NOT lua_h MATCHES "#define LUA_VERSION_${part}[ \t]+\"([0-9]+)\"")
    message(FATAL_ERROR "${LUA_H}: no LUA_VERSION_${part}")
  endif()
  list(APPEND numbers ${CMAKE_MATCH_1})
endforeach()
list(JOIN numbers . version)
list(JOIN numbers , version_numbers)
if(NOT lua_h MATCHES "#define LUA_COPYRIGHT[^\"\n]*\" *(Copyright [^\"\n]*)\"")
  message(FATAL_ERROR "${LUA_H}: no LUA_COPYRIGHT")
endif()
set(copyright "${CMAKE_MATCH_1}")
file(WRITE "${HEADER}" "\
#define VERSION_NUMBERS ${version_numbers},0
#define VERSION_TEXT \"${version}\"
#define VERSION_PRODUCT \"Lua\"
#define VERSION_DESCRIPTION \"Lua ${version}\"
#define VERSION_NAME \"lua52\"
#define VERSION_FILE_NAME \"lua52.dll\"
#define VERSION_FILE_TYPE VFT_DLL
#define VERSION_COPYRIGHT \"${copyright}\"
")

# The licence is the comment block at the end of lua.h that starts with the copyright line.
if(NOT lua_h MATCHES "\n/\\*+\n(\\* Copyright .*)\n\\*+/")
  message(FATAL_ERROR "${LUA_H}: no licence block")
endif()
string(REGEX REPLACE "(^|\n)\\* ?" "\\1" licence "${CMAKE_MATCH_1}\n")
string(REPLACE "\n" "\r\n" licence "${licence}")
file(WRITE "${LICENCE}" "${licence}")
