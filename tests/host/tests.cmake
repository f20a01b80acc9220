# The host as a browser runs it: frames on standard input and output.
add_executable(host_process_test host/host_process_test.cpp host/host_framing_test.cpp)
target_link_libraries(host_process_test PRIVATE veldra_host_test_support GTest::gtest_main)
add_dependencies(host_process_test veldra-native-host)
gtest_discover_tests(host_process_test PROPERTIES LABELS host)
