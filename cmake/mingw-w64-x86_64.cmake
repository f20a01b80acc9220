# Cross-build of the same sources for 64-bit Windows (x86_64): what scripts/windows-test runs under
# 64-bit Wine where Wine's 32-bit loader cannot be installed or run. Not shipped. OpenSSL and
# GoogleTest for this target come from VELDRA_WINDOWS_DEPS_X86_64
# (default /var/cache/veldra/windows-deps-x86_64, scripts/windows-deps x86_64).
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(VELDRA_MINGW_TRIPLE x86_64-w64-mingw32)
set(_veldra_deps_env VELDRA_WINDOWS_DEPS_X86_64)
set(_veldra_deps_default /var/cache/veldra/windows-deps-x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
