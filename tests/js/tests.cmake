# The browser side's JavaScript, checked: Node's own test runner over the unit tests of tests/js/,
# ESLint (eslint.config.js) and TypeScript on the JSDoc types of every file of extension/ and web/.
# The checkers come from npm into the build tree at the versions of tests/js/package-lock.json;
# without npm or its registry they say SKIPPED.
find_program(VELDRA_NODE node)
if(NOT VELDRA_NODE)
  message(STATUS "JavaScript checks: node not found, not registered")
  return()
endif()
set(_js_tests ${CMAKE_CURRENT_LIST_DIR})
set(_js_node ${CMAKE_BINARY_DIR}/js-node)
file(GLOB _js_unit ${_js_tests}/*.test.mjs)
add_test(NAME js.unit COMMAND ${VELDRA_NODE} --test --test-reporter=dot ${_js_unit})
set_tests_properties(js.unit PROPERTIES LABELS js TIMEOUT 60)
add_test(NAME js.setup COMMAND ${_js_tests}/setup.sh ${_js_node})
set_tests_properties(js.setup PROPERTIES LABELS js TIMEOUT 300 SKIP_RETURN_CODE 77)
foreach(check lint types)
  add_test(NAME js.${check} COMMAND ${_js_tests}/check.sh ${check} ${_js_node})
  set_tests_properties(js.${check} PROPERTIES LABELS js TIMEOUT 120 DEPENDS js.setup SKIP_RETURN_CODE 77)
endforeach()
