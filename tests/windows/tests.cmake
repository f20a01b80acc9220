# The Windows host (build-windows/bin/veldra-native-host.exe) driven through Wine from this build,
# its answers compared byte for byte with this build's host. Built here, run by scripts/windows-test
# (which makes the Windows build and its Wine prefix first); not a ctest test of this build.
add_executable(windows_host_test ${CMAKE_CURRENT_LIST_DIR}/host_through_wine_test.cpp)
target_link_libraries(windows_host_test PRIVATE veldra_host_test_support GTest::gtest_main)
add_dependencies(windows_host_test veldra-native-host)

# The installer (scripts/windows-package) under Wine: installed, checked as the browsers find it, its
# installed host signing on the virtual card, removed.
add_executable(windows_msi_test ${CMAKE_CURRENT_LIST_DIR}/msi_through_wine_test.cpp
  ${CMAKE_SOURCE_DIR}/tests/card/card_test_support.cpp)
target_include_directories(windows_msi_test PRIVATE ${CMAKE_SOURCE_DIR}/tests/card)
target_link_libraries(windows_msi_test PRIVATE veldra_host_test_support OpenSSL::Crypto GTest::gtest_main)
add_dependencies(windows_msi_test veldra-native-host)
