# The Windows build: quillet.exe beside lua52.dll, and nothing else to ship.
enable_language(RC) # resources (manifest, version information, icon) are compiled into both files
set(c_cxx $<COMPILE_LANGUAGE:C,CXX>)

# -static links the compiler's own runtimes in, libssp's stack protector among them: only
# lua52.dll and Windows' DLLs are needed.
add_compile_options($<${c_cxx}:-fstack-protector-strong>)
add_link_options(-static -fstack-protector-strong -Wl,--dynamicbase,--high-entropy-va,--nxcompat)

# The same bytes from any checkout and build directory, at any time: no paths in the debug
# information, no link time in the headers. The build tree is named last, as it may lie inside
# the source tree and the last matching map wins.
add_compile_options($<${c_cxx}:-ffile-prefix-map=${PROJECT_SOURCE_DIR}=.>
                    $<${c_cxx}:-ffile-prefix-map=${CMAKE_BINARY_DIR}=build>)
add_link_options(-Wl,--no-insert-timestamp)

include(${CMAKE_CURRENT_LIST_DIR}/lua-windows.cmake)
