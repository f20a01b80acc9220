# GET_SYSTEM_INFO and the pad commands through the built host: on this machine's devices, and on
# a fake sysfs tree and package database seen by the host through a private mount namespace.
add_executable(system_host_test system/system_info_host_test.cpp)
target_link_libraries(system_host_test PRIVATE veldra_host_test_support veldra_sysfs_fixture GTest::gtest_main)
target_compile_definitions(system_host_test PRIVATE VELDRA_FAKE_SYSFS="$<TARGET_FILE:veldra_fake_sysfs>")
add_dependencies(system_host_test veldra-native-host veldra_fake_sysfs)
gtest_discover_tests(system_host_test PROPERTIES LABELS host)
