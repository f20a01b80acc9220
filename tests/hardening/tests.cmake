# Hardening: requests at the edges of what the host reads, no PIN in the log, faults of the PC/SC
# stack end to end. scripts/hardening-test also runs the other tests under the sanitizers.

# Edge inputs through the built host; no reader needed.
add_executable(hardening_test ${CMAKE_CURRENT_LIST_DIR}/edge_input_test.cpp ${CMAKE_CURRENT_LIST_DIR}/process_edges_test.cpp)
target_link_libraries(hardening_test PRIVATE veldra_host_test_support GTest::gtest_main)
add_dependencies(hardening_test veldra-native-host)
gtest_discover_tests(hardening_test PROPERTIES LABELS host)

# The test programs of the sanitizer builds (scripts/hardening-test builds these targets only).
# ASan+UBSan: the unit and process-level tests, all but those labelled gui, browser and bench.
set(VELDRA_HARDENING_ASAN_TARGETS
  utils_test user_input_test fake_pinentry comm_test system_support_test veldra_fake_sysfs
  signing_device_test wacom_device_test pad_commands_test plugin_api_test pkcs_test pkcs_pcsc_test
  plugin_api_system_test host_process_test system_host_test card_host_test virtual_readers_test
  hardening_test hardening_pcsc_test pcsc_hold veldra-native-host veldra-virtual-card veldra-pcsc-wait
  veldra_image_decoder veldra-ifd-virtual veldra-doctor doctor_test extension_io_test)
# TSan: the dispatch loop, the engine and its watchdog, the PIN dialog.
set(VELDRA_HARDENING_TSAN_TARGETS utils_test plugin_api_test user_input_test fake_pinentry)
set_property(GLOBAL PROPERTY VELDRA_HARDENING_ASAN_TARGETS ${VELDRA_HARDENING_ASAN_TARGETS})
set_property(GLOBAL PROPERTY VELDRA_HARDENING_TSAN_TARGETS ${VELDRA_HARDENING_TSAN_TARGETS})
add_custom_target(hardening_asan_targets)
add_custom_target(hardening_tsan_targets)
# Run once every directory is read, when every target that exists is known.
function(veldra_hardening_dependencies)
  foreach(group asan tsan)
    string(TOUPPER ${group} upper)
    get_property(targets GLOBAL PROPERTY VELDRA_HARDENING_${upper}_TARGETS)
    foreach(target IN LISTS targets)
      if(TARGET ${target})
        add_dependencies(hardening_${group}_targets ${target})
      endif()
    endforeach()
  endforeach()
  # Modules loaded into programs that are not ours (unshare, pcscd) stay uninstrumented: the
  # sanitizer runtime lives in our executables only.
  foreach(module veldra_fake_sysfs veldra-ifd-virtual)
    if(TARGET ${module})
      foreach(property COMPILE_OPTIONS LINK_OPTIONS)
        get_target_property(options ${module} ${property})
        if(options)
          list(FILTER options EXCLUDE REGEX "^-fsanitize")
          set_target_properties(${module} PROPERTIES ${property} "${options}")
        endif()
      endforeach()
    endif()
  endforeach()
endfunction()
cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR} CALL veldra_hardening_dependencies)

# Against pcscd with the virtual readers: PC/SC faults, no PIN in the log, the PIN and file id
# members at their bounds. Each group runs under scripts/virtual-reader run, which stops pcscd
# and the cards however the test ends.
pkg_check_modules(VELDRA_HARDENING_PCSC REQUIRED IMPORTED_TARGET libpcsclite)
add_executable(pcsc_hold ${CMAKE_CURRENT_LIST_DIR}/pcsc_hold.cpp)
target_link_libraries(pcsc_hold PRIVATE PkgConfig::VELDRA_HARDENING_PCSC)
add_executable(hardening_pcsc_test
  ${CMAKE_CURRENT_LIST_DIR}/hardening_pcsc.cpp
  ${CMAKE_CURRENT_LIST_DIR}/pcsc_fault_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/pcsc_pin_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/pcsc_token_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/pcsc_site_test.cpp)
target_include_directories(hardening_pcsc_test PRIVATE ${CMAKE_CURRENT_LIST_DIR})
target_compile_definitions(hardening_pcsc_test PRIVATE
  VELDRA_SOURCE_DIR="${CMAKE_SOURCE_DIR}"
  FAKE_PINENTRY_DIR="${CMAKE_BINARY_DIR}/modules/user-input/fake-bin")
target_link_libraries(hardening_pcsc_test PRIVATE veldra_host_test_support OpenSSL::Crypto GTest::gtest_main)
foreach(program IN ITEMS veldra-native-host veldra-virtual-card veldra-pcsc-wait veldra-ifd-virtual pcsc_hold fake_pinentry)
  if(TARGET ${program})
    add_dependencies(hardening_pcsc_test ${program})
  endif()
endforeach()
foreach(group IN ITEMS PcscTest PinPaths TokenRules SiteRules)
  add_test(NAME hardening_pcsc.${group}
    COMMAND ${CMAKE_SOURCE_DIR}/scripts/virtual-reader run --no-card --
            $<TARGET_FILE:hardening_pcsc_test> --gtest_filter=${group}.*)
  set_tests_properties(hardening_pcsc.${group} PROPERTIES
    RESOURCE_LOCK pcscd
    LABELS pcsc
    TIMEOUT 300
    ENVIRONMENT "VELDRA_VR_DIR=${CMAKE_BINARY_DIR}/virtual-reader-hardening;VELDRA_BIN_DIR=${CMAKE_RUNTIME_OUTPUT_DIRECTORY}")
endforeach()
