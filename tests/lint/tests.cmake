# The tree's shell scripts pass shellcheck (tests/lint/shellcheck.sh).
add_test(NAME lint.shellcheck COMMAND ${CMAKE_CURRENT_LIST_DIR}/shellcheck.sh ${CMAKE_SOURCE_DIR})
set_tests_properties(lint.shellcheck PROPERTIES TIMEOUT 120 SKIP_RETURN_CODE 77)
