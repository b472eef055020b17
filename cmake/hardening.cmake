# The native program is compiled and linked as Debian hardens its own packages, whatever the build
# type, and with no path of this machine in it, so that one commit builds to the same bytes anywhere.
include(CheckCXXCompilerFlag)
include(CheckPIESupported)

check_pie_supported()
set_property(TARGET quillet PROPERTY POSITION_INDEPENDENT_CODE ON)

target_compile_options(quillet PRIVATE
  -fstack-protector-strong -Wformat -Werror=format-security
  "-ffile-prefix-map=${PROJECT_SOURCE_DIR}=."
  # The build tree may lie inside the source tree: this later, longer prefix wins there.
  "-ffile-prefix-map=${PROJECT_BINARY_DIR}=build")
# Not every architecture has these two (-fcf-protection is x86 only).
foreach(flag -fstack-clash-protection -fcf-protection)
  string(MAKE_C_IDENTIFIER "have${flag}" have)
  check_cxx_compiler_flag(${flag} ${have})
  if(${have})
    target_compile_options(quillet PRIVATE ${flag})
  endif()
endforeach()

# Fortified functions need optimisation, hence -Og for Debug. AddressSanitizer checks those calls
# itself and misses overflows inside the fortified versions, so the sanitized build goes without.
if(NOT QUILLET_SANITIZE)
  target_compile_options(quillet PRIVATE $<$<CONFIG:Debug>:-Og> -U_FORTIFY_SOURCE -D_FORTIFY_SOURCE=2)
endif()

# Relocations read-only and resolved at start-up, so none of them can be overwritten later.
target_link_options(quillet PRIVATE -Wl,-z,relro -Wl,-z,now)
