# The pad and system command group, with the system information command.
add_library(veldra_plugin_ext STATIC
  src/main/c/plugin-api-ext.cpp
  src/main/c/base64_bio.cpp
  src/main/c/plugin-api-system.cpp)
target_link_libraries(veldra_plugin_ext PUBLIC veldra_plugin_core veldra_system_support veldra_wacom_device)

if(BUILD_TESTING)
  add_executable(plugin_api_system_test src/test/c/system_routing_test.cpp)
  target_link_libraries(plugin_api_system_test PRIVATE veldra_plugin_ext GTest::gtest_main)
  gtest_discover_tests(plugin_api_system_test)
endif()
