# The pad commands: against a scripted pad SDK, and through the built host with the on-screen pad on
# a private Xvfb (tests/support/xvfb.h) driven by xdotool.
set(_pads ${CMAKE_CURRENT_LIST_DIR})
set(_pad_test_support ${CMAKE_SOURCE_DIR}/modules/wacom-device/src/test/c
                      ${CMAKE_SOURCE_DIR}/modules/signing-device/src/test/c)

add_executable(pad_commands_test ${_pads}/pad_commands_test.cpp)
target_include_directories(pad_commands_test PRIVATE ${_pad_test_support})
target_link_libraries(pad_commands_test PRIVATE veldra_plugin_ext GTest::gtest_main)
gtest_discover_tests(pad_commands_test)

pkg_check_modules(VELDRA_PADS_TEST_PIXBUF IMPORTED_TARGET gdk-pixbuf-2.0)
if(TARGET veldra_onscreen_pad AND TARGET veldra_onscreen_render AND TARGET veldra-native-host
   AND VELDRA_PADS_TEST_PIXBUF_FOUND)
  add_executable(pads_host_test ${_pads}/pads_host_test.cpp)
  target_include_directories(pads_host_test PRIVATE ${_pad_test_support})
  target_link_libraries(pads_host_test PRIVATE veldra_host_test_support GTest::gtest_main veldra_signing_device veldra_onscreen_render
                        veldra_plugin_core PkgConfig::VELDRA_PADS_TEST_PIXBUF)
  add_dependencies(pads_host_test veldra-native-host veldra_onscreen_pad veldra_image_decoder)
  gtest_discover_tests(pads_host_test PROPERTIES LABELS gui TIMEOUT 120)
endif()
