# Hardening flags, each one only where the compiler (or linker) takes it. Linux only: the Windows
# build links its runtime statically and has neither ELF RELRO nor libssp in its toolchain.
if(WIN32)
  return()
endif()
include(CheckCXXCompilerFlag)
include(CheckLinkerFlag)

foreach(flag -fstack-protector-strong -fstack-clash-protection)
  string(MAKE_C_IDENTIFIER "VELDRA_HAS${flag}" var)
  check_cxx_compiler_flag(${flag} ${var})
  if(${var})
    add_compile_options(${flag})
  endif()
endforeach()
# _FORTIFY_SOURCE needs the optimizer (a Debug build would warn on every file), and the sanitizers
# bring their own checks of the same functions.
if(NOT VELDRA_SANITIZE)
  add_compile_definitions($<$<NOT:$<CONFIG:Debug>>:_FORTIFY_SOURCE=2>)
endif()
check_linker_flag(CXX "LINKER:-z,relro,-z,now" VELDRA_HAS_RELRO_NOW)
if(VELDRA_HAS_RELRO_NOW)
  add_link_options("LINKER:-z,relro,-z,now")
endif()
