# The message catalogs of po/: complete in every language (tests/i18n/catalogs_test.sh).
add_test(NAME i18n.catalogs COMMAND ${CMAKE_CURRENT_LIST_DIR}/catalogs_test.sh ${CMAKE_SOURCE_DIR})
set_tests_properties(i18n.catalogs PROPERTIES TIMEOUT 60)
