# BUILD_TESTING=OFF: the build needs no GoogleTest. The unit tests that the modules declare beside
# their code still configure (against empty stand-ins of the GoogleTest targets) but are left out of
# the build: veldra_leave_tests_out, called once every folder is added, marks every target that links
# GoogleTest or is built from a module's src/test folder EXCLUDE_FROM_ALL.
foreach(name gtest gtest_main gmock gmock_main GTest Main)
  add_library(GTest::${name} INTERFACE IMPORTED)
endforeach()
function(gtest_discover_tests)
endfunction()

function(veldra_leave_tests_out dir)
  get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
  foreach(target IN LISTS targets)
    get_target_property(type ${target} TYPE)
    if(type STREQUAL "INTERFACE_LIBRARY" OR type STREQUAL "UTILITY")
      continue()
    endif()
    get_target_property(sources ${target} SOURCES)
    get_target_property(libraries ${target} LINK_LIBRARIES)
    if("${sources}" MATCHES "(^|[/;])src/test/" OR "${libraries}" MATCHES "GTest::")
      set_target_properties(${target} PROPERTIES EXCLUDE_FROM_ALL TRUE)
    endif()
  endforeach()
  get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
  foreach(subdir IN LISTS subdirs)
    veldra_leave_tests_out(${subdir})
  endforeach()
endfunction()
