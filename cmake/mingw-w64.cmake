# Cross-build for Windows with Debian's mingw-w64, POSIX thread model, static runtime; included by
# mingw-w64-i686.cmake and mingw-w64-x86_64.cmake, which set the processor, VELDRA_MINGW_TRIPLE and
# where the target's OpenSSL and GoogleTest are (the variable _veldra_deps_env, else _veldra_deps_default).
# The -posix compilers are required: the default "-win32" variants of GCC 12 have no std::thread or
# std::mutex.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER   ${VELDRA_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VELDRA_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER  ${VELDRA_MINGW_TRIPLE}-windres)

if(NOT VELDRA_WINDOWS_DEPS)
  if(DEFINED ENV{${_veldra_deps_env}})
    set(VELDRA_WINDOWS_DEPS $ENV{${_veldra_deps_env}})
  else()
    set(VELDRA_WINDOWS_DEPS ${_veldra_deps_default})
  endif()
endif()
set(VELDRA_WINDOWS_DEPS ${VELDRA_WINDOWS_DEPS} CACHE PATH "OpenSSL and GoogleTest built for this target")
# try_compile projects see the toolchain again: hand them the same folder.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VELDRA_WINDOWS_DEPS)

set(CMAKE_FIND_ROOT_PATH /usr/${VELDRA_MINGW_TRIPLE} ${VELDRA_WINDOWS_DEPS})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(OPENSSL_ROOT_DIR ${VELDRA_WINDOWS_DEPS})
# Only this target's pkg-config files: a Linux library must not be found for a Windows program.
set(ENV{PKG_CONFIG_LIBDIR} ${VELDRA_WINDOWS_DEPS}/lib/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")

# Static runtime: no libstdc++, libgcc or libwinpthread DLL to ship beside the program.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
# What a static libcrypto needs from the system, after every library of a link line.
set(CMAKE_C_STANDARD_LIBRARIES "-lbcrypt -lws2_32 -lcrypt32 -lkernel32 -luser32 -lgdi32 -lshell32 -lole32 -loleaut32 -luuid -ladvapi32"
    CACHE STRING "system libraries of every link")
set(CMAKE_CXX_STANDARD_LIBRARIES "${CMAKE_C_STANDARD_LIBRARIES}" CACHE STRING "system libraries of every link")

# ctest runs the programs through Wine (scripts/wine-run fails loudly when Wine cannot run them);
# tests are listed when ctest runs, not at build time.
get_filename_component(_veldra_top ${CMAKE_CURRENT_LIST_DIR}/.. ABSOLUTE)
if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${_veldra_top}/scripts/wine-run CACHE STRING "runs target programs")
endif()
set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)

# Header-only libraries of the build machine copied for this target (jsmn, nlohmann's JSON) live
# beside libcrypto. The C99 printf family (%zu, %lld) instead of the old msvcrt one; mingw's GCC
# still checks format(printf) attributes against msvcrt's dialect, so format checking is left to
# the Linux build.
# The POSIX calls of the platform-neutral tests (setenv, mkdtemp) come from a compatibility header.
set(_veldra_flags "-isystem ${VELDRA_WINDOWS_DEPS}/include -D__USE_MINGW_ANSI_STDIO=1 -Wno-format")
string(APPEND _veldra_flags " -include ${CMAKE_CURRENT_LIST_DIR}/windows-compat/veldra_posix_compat.h")
set(CMAKE_C_FLAGS_INIT "${_veldra_flags}")
set(CMAKE_CXX_FLAGS_INIT "${_veldra_flags}")
