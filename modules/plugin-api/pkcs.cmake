# The card command group, compiled against the comm layer's code alone (veldra_plugin_pkcs_core)
# and, for the host, with the real PC/SC library (veldra_plugin_pkcs).
add_library(veldra_plugin_pkcs_core STATIC
  src/main/c/plugin-api-pkcs.cpp
  src/main/c/plugin-api-pkcs-handlers.cpp
  src/main/c/plugin-api-pkcs-sign.cpp
  src/main/c/plugin-api-pkcs-pin.cpp
  src/main/c/plugin-api-pkcs-support.cpp)
target_link_libraries(veldra_plugin_pkcs_core PUBLIC veldra_plugin_core veldra_comm_core OpenSSL::Crypto)

add_library(veldra_plugin_pkcs INTERFACE)
target_link_libraries(veldra_plugin_pkcs INTERFACE veldra_plugin_pkcs_core veldra_comm)

# Unit tests of the card commands against test doubles of the comm interfaces and of user_input, and
# over the real comm layer and the scripted PC/SC stand-in (CCID PIN pad).
if(BUILD_TESTING)
  add_executable(pkcs_test
    src/test/c/pkcs_support_test.cpp
    src/test/c/pkcs_pin_test.cpp
    src/test/c/pkcs_commands_test.cpp
    src/test/c/pkcs_signature_test.cpp)
  target_link_libraries(pkcs_test PRIVATE veldra_plugin_pkcs GTest::gtest_main)
  gtest_discover_tests(pkcs_test TEST_PREFIX "pkcs.")

  add_executable(pkcs_pcsc_test src/test/c/pkcs_pcsc_test.cpp)
  target_link_libraries(pkcs_pcsc_test PRIVATE veldra_plugin_pkcs_core veldra_pcsc_mock GTest::gtest_main)
  gtest_discover_tests(pkcs_pcsc_test TEST_PREFIX "pkcs.")
endif()
