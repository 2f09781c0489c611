# The hardening the distributions build their packages with: stack protector,
# stack clash protection, control-flow protection (endbr64 landing pads on
# x86), a position-independent tool, read-only relocations bound at load time,
# and fortified libc calls where the optimiser makes them possible.
include(CheckCXXCompilerFlag)
include(CheckPIESupported)
check_pie_supported()

foreach(flag -fstack-protector-strong -fstack-clash-protection -fcf-protection)
  string(MAKE_C_IDENTIFIER "NESK_CXX_HAS${flag}" have_flag)
  check_cxx_compiler_flag(${flag} ${have_flag})
  if(${have_flag})
    add_compile_options(${flag})
  endif()
endforeach()
add_link_options(-Wl,-z,relro,-z,now)

# _FORTIFY_SOURCE needs optimisation (glibc warns without it, and -Werror
# makes that fatal), and the sanitizers check the same calls themselves, so
# the Debug and sanitizer builds go without. A toolchain that defines it
# already (Ubuntu's, Fedora's flags) is overridden, not redefined.
if(NOT NESK_SANITIZE AND NOT NESK_FUZZ)
  add_compile_options($<$<NOT:$<CONFIG:Debug>>:-U_FORTIFY_SOURCE>
                      $<$<NOT:$<CONFIG:Debug>>:-D_FORTIFY_SOURCE=3>)
endif()
