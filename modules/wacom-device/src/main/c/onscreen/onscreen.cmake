# The on-screen pad: the pad SDK implemented as a GTK window, in a module of its own that the family
# opens on first connect, so that only pad commands load GTK.
set(VELDRA_ONSCREEN_DIR ${CMAKE_CURRENT_LIST_DIR})

# The signature data format and the picture renderer (no toolkit): shared with the tests.
pkg_check_modules(VELDRA_CAIRO IMPORTED_TARGET cairo)
if(NOT VELDRA_CAIRO_FOUND)
  message(STATUS "on-screen pad: cairo not found, not built (pads are then never listed)")
  return()
endif()
add_library(veldra_onscreen_render STATIC
  ${VELDRA_ONSCREEN_DIR}/signature_data.cpp
  ${VELDRA_ONSCREEN_DIR}/signature_render.cpp)
target_include_directories(veldra_onscreen_render PUBLIC ${VELDRA_ONSCREEN_DIR})
target_link_libraries(veldra_onscreen_render PUBLIC PkgConfig::VELDRA_CAIRO)

pkg_check_modules(VELDRA_GTK3 IMPORTED_TARGET gtk+-3.0)
# The module asks the X server for the screen's size itself (no toolkit start-up for that).
pkg_check_modules(VELDRA_XCB IMPORTED_TARGET xcb)
pkg_check_modules(VELDRA_FONTCONFIG IMPORTED_TARGET fontconfig)
pkg_get_variable(VELDRA_GLIB_COMPILE_RESOURCES gio-2.0 glib_compile_resources)
if(VELDRA_GTK3_FOUND AND VELDRA_XCB_FOUND AND VELDRA_FONTCONFIG_FOUND AND VELDRA_GLIB_COMPILE_RESOURCES)
  # The pad window runs in a process of its own (veldra-onscreen-pad-window, installed beside the
  # module): a display that goes away ends that process, never the host. The module holds no toolkit.
  add_library(veldra_onscreen_pad MODULE
    ${VELDRA_ONSCREEN_DIR}/onscreen_objects.cpp
    ${VELDRA_ONSCREEN_DIR}/onscreen_wizctl.cpp
    ${VELDRA_ONSCREEN_DIR}/onscreen_sdk.cpp
    ${VELDRA_ONSCREEN_DIR}/pad_window_process.cpp
    ${VELDRA_ONSCREEN_DIR}/pad_window_protocol.cpp
    ${VELDRA_ONSCREEN_DIR}/x_work_area.cpp)
  set_target_properties(veldra_onscreen_pad PROPERTIES
    OUTPUT_NAME veldra-onscreen-pad PREFIX lib
    LIBRARY_OUTPUT_DIRECTORY ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}
    CXX_VISIBILITY_PRESET hidden)
  # Header-only parts of the framework (result codes, message source interface).
  target_include_directories(veldra_onscreen_pad PRIVATE
    ${CMAKE_CURRENT_SOURCE_DIR}/include
    ${CMAKE_SOURCE_DIR}/modules/signing-device/include)
  target_link_libraries(veldra_onscreen_pad PRIVATE veldra_onscreen_render PkgConfig::VELDRA_XCB ${CMAKE_DL_LIBS})

  add_executable(veldra_onscreen_pad_window
    ${VELDRA_ONSCREEN_DIR}/pad_window_main.cpp
    ${VELDRA_ONSCREEN_DIR}/pad_window.cpp
    ${VELDRA_ONSCREEN_DIR}/pad_window_protocol.cpp)
  set_target_properties(veldra_onscreen_pad_window PROPERTIES
    OUTPUT_NAME veldra-onscreen-pad-window
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_RUNTIME_OUTPUT_DIRECTORY})
  target_include_directories(veldra_onscreen_pad_window PRIVATE
    ${VELDRA_ONSCREEN_DIR}
    ${CMAKE_CURRENT_SOURCE_DIR}/include
    ${CMAKE_SOURCE_DIR}/modules/signing-device/include)
  target_link_libraries(veldra_onscreen_pad_window PRIVATE veldra_utils PkgConfig::VELDRA_GTK3
    PkgConfig::VELDRA_FONTCONFIG)
  # The window's empty toolkit theme, compiled in as a resource.
  set(VELDRA_PAD_THEME_C ${CMAKE_CURRENT_BINARY_DIR}/pad_window_theme.c)
  add_custom_command(OUTPUT ${VELDRA_PAD_THEME_C}
    COMMAND ${VELDRA_GLIB_COMPILE_RESOURCES} --generate-source --target=${VELDRA_PAD_THEME_C}
            --sourcedir=${VELDRA_ONSCREEN_DIR} ${VELDRA_ONSCREEN_DIR}/pad_window_theme.gresource.xml
    DEPENDS ${VELDRA_ONSCREEN_DIR}/pad_window_theme.gresource.xml ${VELDRA_ONSCREEN_DIR}/pad_window_theme.css)
  target_sources(veldra_onscreen_pad_window PRIVATE ${VELDRA_PAD_THEME_C})
  add_dependencies(veldra_onscreen_pad veldra_onscreen_pad_window)
  add_dependencies(veldra_wacom_device veldra_onscreen_pad)
endif()
