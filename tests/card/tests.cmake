# The card commands through the real host, against pcscd with the virtual readers and emulated cards.
# Each test group runs under "scripts/virtual-reader run", which starts pcscd and stops it (and every
# card) when the group ends, however it ends.
add_executable(card_host_test
  ${CMAKE_CURRENT_LIST_DIR}/card_test_support.cpp
  ${CMAKE_CURRENT_LIST_DIR}/readers_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/pin_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/signature_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/dialog_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/secure_desktop_test.cpp)
target_include_directories(card_host_test PRIVATE ${CMAKE_CURRENT_LIST_DIR})
# The stand-in pinentry of modules/user-input, which records what it is asked to show.
target_compile_definitions(card_host_test PRIVATE VELDRA_SOURCE_DIR="${CMAKE_SOURCE_DIR}"
  FAKE_PINENTRY_DIR="${CMAKE_BINARY_DIR}/modules/user-input/fake-bin")
target_link_libraries(card_host_test PRIVATE veldra_host_test_support OpenSSL::Crypto GTest::gtest_main)
foreach(program IN ITEMS veldra-native-host veldra-virtual-card veldra-pcsc-wait veldra-ifd-virtual fake_pinentry veldra_catalogs)
  if(TARGET ${program})
    add_dependencies(card_host_test ${program})
  endif()
endforeach()

foreach(group IN ITEMS Readers Pin Signature Dialog)
  add_test(NAME card_host.${group}
    COMMAND ${CMAKE_SOURCE_DIR}/scripts/virtual-reader run --no-card --
            $<TARGET_FILE:card_host_test> --gtest_filter=${group}.*)
  set_tests_properties(card_host.${group} PROPERTIES
    RESOURCE_LOCK pcscd
    LABELS pcsc
    TIMEOUT 240
    ENVIRONMENT "VELDRA_VR_DIR=${CMAKE_BINARY_DIR}/virtual-reader-card-tests;VELDRA_BIN_DIR=${CMAKE_RUNTIME_OUTPUT_DIRECTORY}")
endforeach()

# pcscd without readers.
add_test(NAME card_host.NoReaders
  COMMAND ${CMAKE_SOURCE_DIR}/scripts/virtual-reader run --empty -- $<TARGET_FILE:card_host_test> --gtest_filter=NoReaders.*)
set_tests_properties(card_host.NoReaders PROPERTIES
  RESOURCE_LOCK pcscd
  LABELS pcsc
  TIMEOUT 120
  ENVIRONMENT "VELDRA_VR_DIR=${CMAKE_BINARY_DIR}/virtual-reader-card-tests;VELDRA_BIN_DIR=${CMAKE_RUNTIME_OUTPUT_DIRECTORY}")

# No smart-card service at all: needs no pcscd, so it runs beside everything else.
add_test(NAME card_host.NoService COMMAND card_host_test --gtest_filter=NoService.*)
set_tests_properties(card_host.NoService PROPERTIES LABELS host TIMEOUT 120)
