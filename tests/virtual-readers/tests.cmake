# The comm layer against the real PC/SC stack: pcscd with the virtual readers and the emulated
# identity card. Every group runs under scripts/virtual-reader run, which stops pcscd and the
# cards on every exit path; the one pcscd of the machine is a locked resource.
get_filename_component(VELDRA_VR_SCRIPT ${CMAKE_CURRENT_LIST_DIR}/../../scripts/virtual-reader ABSOLUTE)

add_executable(virtual_readers_test
  ${CMAKE_CURRENT_LIST_DIR}/test_bed.cpp
  ${CMAKE_CURRENT_LIST_DIR}/listing_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/pin_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/signature_test.cpp)
target_include_directories(virtual_readers_test PRIVATE ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(virtual_readers_test PRIVATE veldra_comm OpenSSL::Crypto GTest::gtest_main)
target_compile_definitions(virtual_readers_test PRIVATE
  VELDRA_VIRTUAL_READER="${VELDRA_VR_SCRIPT}")
add_dependencies(virtual_readers_test veldra-virtual-card veldra-pcsc-wait veldra-ifd-virtual)

foreach(group Listing Presence Files Pin Signatures)
  add_test(NAME virtual_readers.${group}
    COMMAND ${VELDRA_VR_SCRIPT} run --no-card --
            $<TARGET_FILE:virtual_readers_test> --gtest_filter=${group}.*)
  set_tests_properties(virtual_readers.${group} PROPERTIES
    RESOURCE_LOCK pcscd
    LABELS pcsc
    TIMEOUT 240
    ENVIRONMENT "VELDRA_VR_DIR=${CMAKE_BINARY_DIR}/virtual-readers/${group};VELDRA_BIN_DIR=${CMAKE_RUNTIME_OUTPUT_DIRECTORY}")
endforeach()
