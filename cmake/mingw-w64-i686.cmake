# Cross-build for 32-bit Windows (i686), the program that is shipped. OpenSSL and GoogleTest for this
# target come from VELDRA_WINDOWS_DEPS (default /var/cache/veldra/windows-deps-i686, scripts/windows-deps).
set(CMAKE_SYSTEM_PROCESSOR x86)
set(VELDRA_MINGW_TRIPLE i686-w64-mingw32)
set(_veldra_deps_env VELDRA_WINDOWS_DEPS)
set(_veldra_deps_default /var/cache/veldra/windows-deps-i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
