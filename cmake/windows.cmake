# The Windows build: quillet.exe beside lua52.dll, and nothing else to ship.
enable_language(RC) # resources (icon, version information) are compiled into quillet.exe
# The compiler's own runtimes are linked in: only lua52.dll and Windows' DLLs are needed.
add_link_options(-static-libgcc -static-libstdc++)
include(${CMAKE_CURRENT_LIST_DIR}/lua-windows.cmake)
