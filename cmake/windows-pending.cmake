# The Windows build's targets of modules whose own CMakeLists.txt has no Windows branch yet
# (scripts/windows-build leaves those folders out). Each block moves into its module's
# CMakeLists.txt under if(WIN32) once the module is settled; a target already defined is kept.
set(_m ${CMAKE_SOURCE_DIR}/modules)

# PIN input service: the secure-desktop dialog; the dialog resource goes into every program that
# links the service.
if(NOT TARGET veldra_user_input)
  add_library(veldra_user_input STATIC ${_m}/user-input/src/main/c/user_input_win.cpp)
  target_include_directories(veldra_user_input PUBLIC ${_m}/user-input/src/main/c)
  target_sources(veldra_user_input INTERFACE ${_m}/user-input/src/main/c/user_input.rc)
  target_link_libraries(veldra_user_input PUBLIC veldra_utils user32 gdi32 msimg32)
  add_executable(user_input_test ${_m}/user-input/src/test/c/user_input_win_test.cpp)
  target_link_libraries(user_input_test PRIVATE veldra_user_input GTest::gtest_main)
  gtest_discover_tests(user_input_test PROPERTIES LABELS gui TIMEOUT 120)
endif()

# Comm layer: the same code over winscard's ANSI functions; the unit tests link the scripted
# PC/SC stand-in in its place (Wine's winscard is a stub).
if(NOT TARGET veldra_comm)
  add_library(veldra_comm_core STATIC
    ${_m}/comm/src/main/c/operation_context.cpp
    ${_m}/comm/src/main/c/apdu.cpp
    ${_m}/comm/src/main/c/scard_library.cpp
    ${_m}/comm/src/main/c/scard_session.cpp
    ${_m}/comm/src/main/c/scard_card.cpp)
  target_include_directories(veldra_comm_core PUBLIC ${_m}/comm/src/main/c ${_m}/comm/src/main/c/win)
  target_link_libraries(veldra_comm_core PUBLIC veldra_utils OpenSSL::Crypto)
  add_library(veldra_comm INTERFACE)
  target_link_libraries(veldra_comm INTERFACE veldra_comm_core winscard)
endif()

# Signing device framework: COM apartments, the message pump, GDI+ image decoding.
if(NOT TARGET veldra_signing_device)
  add_library(veldra_signing_device STATIC
    ${_m}/signing-device/src/main/c/com.cpp
    ${_m}/signing-device/src/main/c/message_pump.cpp
    ${_m}/signing-device/src/main/c/device_base.cpp
    ${_m}/signing-device/src/main/c/signing_device_factory.cpp
    ${_m}/signing-device/src/main/c/loadable_module_win.cpp
    ${_m}/signing-device/src/main/c/image_decoder_gdiplus.cpp)
  target_include_directories(veldra_signing_device PUBLIC ${_m}/signing-device/src/main/c)
  target_link_libraries(veldra_signing_device PUBLIC veldra_utils gdiplus shlwapi ole32)
endif()

# The pad family over the pad SDK.
if(NOT TARGET veldra_wacom_device)
  add_library(veldra_wacom_device STATIC
    ${_m}/wacom-device/src/main/c/pad_info.cpp
    ${_m}/wacom-device/src/main/c/wacom_sdk_device.cpp
    ${_m}/wacom-device/src/main/c/wacom_sdk_device_factory.cpp)
  target_include_directories(veldra_wacom_device PUBLIC ${_m}/wacom-device/src/main/c)
  target_link_libraries(veldra_wacom_device PUBLIC veldra_signing_device veldra_plugin_core)
endif()
unset(_m)

# Unit tests of the Windows sides above that run under Wine without a display.
set(_m ${CMAKE_SOURCE_DIR}/modules)
if(NOT TARGET signing_device_win_test)
  add_executable(signing_device_win_test ${_m}/signing-device/src/test/c/image_decoder_win_test.cpp)
  target_link_libraries(signing_device_win_test PRIVATE veldra_signing_device GTest::gtest_main)
  gtest_discover_tests(signing_device_win_test)
endif()
unset(_m)
