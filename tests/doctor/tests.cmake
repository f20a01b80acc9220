# veldra-doctor against real faults (tests/doctor/doctor_test.sh): manifests, PIN dialog, display
# and state folder on a private home and Xvfb display; pcscd and its readers under the pcscd lock.
set(VELDRA_DOCTOR_TEST ${CMAKE_CURRENT_LIST_DIR}/doctor_test.sh)
get_filename_component(VELDRA_DOCTOR_VR ${CMAKE_CURRENT_LIST_DIR}/../../scripts/virtual-reader ABSOLUTE)
add_test(NAME doctor.local COMMAND ${VELDRA_DOCTOR_TEST} local ${CMAKE_RUNTIME_OUTPUT_DIRECTORY} 141)
set_tests_properties(doctor.local PROPERTIES LABELS gui TIMEOUT 120)
add_test(NAME doctor.pcsc
  COMMAND ${VELDRA_DOCTOR_VR} run --no-card -- ${VELDRA_DOCTOR_TEST} pcsc ${CMAKE_RUNTIME_OUTPUT_DIRECTORY} ${VELDRA_DOCTOR_VR})
set_tests_properties(doctor.pcsc PROPERTIES
  RESOURCE_LOCK pcscd
  LABELS pcsc
  TIMEOUT 240
  ENVIRONMENT "VELDRA_VR_DIR=${CMAKE_BINARY_DIR}/virtual-readers/doctor;VELDRA_BIN_DIR=${CMAKE_RUNTIME_OUTPUT_DIRECTORY}")
