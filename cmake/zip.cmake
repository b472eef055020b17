# The release zip for Windows, made by `cpack -G ZIP` in the build tree: quillet-VERSION-win64.zip
# holds quillet.exe, lua52.dll, both licences and the README, in a folder of the same name.
install(TARGETS quillet RUNTIME DESTINATION .)
# The import library is for linking against the engine, not for running it.
install(TARGETS lua52 RUNTIME DESTINATION . ARCHIVE DESTINATION lib COMPONENT devel EXCLUDE_FROM_ALL)

# Texts as Windows keeps them, with CR LF line ends, under names that open in an editor.
set(texts ${CMAKE_BINARY_DIR}/zip-texts)
function(windows_text from to)
  add_custom_command(OUTPUT ${to}
    COMMAND ${CMAKE_COMMAND} -DIN=${PROJECT_SOURCE_DIR}/${from} -DOUT=${to}
            -P ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/crlf.cmake
    DEPENDS ${PROJECT_SOURCE_DIR}/${from} ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/crlf.cmake
    VERBATIM)
endfunction()
windows_text(LICENSE ${texts}/LICENSE.txt)
windows_text(README.md ${texts}/README.md)
set(zip_texts ${texts}/LICENSE.txt ${texts}/README.md ${CMAKE_BINARY_DIR}/lua-about/LICENSE-Lua.txt)
add_custom_target(zip_texts ALL DEPENDS ${zip_texts})
install(FILES ${zip_texts} DESTINATION .)

set(CPACK_PACKAGE_NAME quillet)
set(CPACK_SYSTEM_NAME win64)
set(CPACK_GENERATOR ZIP)
# zip-again.cmake strips the executables itself, and makes the zip again, reproducibly.
set(CPACK_QUILLET_STRIP ${CMAKE_STRIP})
set(CPACK_QUILLET_SOURCE_DIR ${PROJECT_SOURCE_DIR})
set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/zip-again.cmake)
include(CPack)
