# The card command group.
add_library(veldra_plugin_pkcs STATIC
  src/main/c/plugin-api-pkcs.cpp
  src/main/c/plugin-api-pkcs-handlers.cpp
  src/main/c/plugin-api-pkcs-sign.cpp
  src/main/c/plugin-api-pkcs-pin.cpp
  src/main/c/plugin-api-pkcs-support.cpp)
target_link_libraries(veldra_plugin_pkcs PUBLIC veldra_plugin_core veldra_comm OpenSSL::Crypto)

# Unit tests of the card commands against test doubles of the comm interfaces and of user_input.
add_executable(pkcs_test
  src/test/c/pkcs_support_test.cpp
  src/test/c/pkcs_pin_test.cpp
  src/test/c/pkcs_commands_test.cpp
  src/test/c/pkcs_signature_test.cpp)
target_link_libraries(pkcs_test PRIVATE veldra_plugin_pkcs GTest::gtest_main)
gtest_discover_tests(pkcs_test)
