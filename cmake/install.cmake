# Install rules (GNUInstallDirs):
#   ${CMAKE_INSTALL_LIBEXECDIR}/veldra/veldra-native-host   the host: only browsers start it, nobody
#                                                           types it, so it is kept off the PATH
#   ${CMAKE_INSTALL_LIBDIR}/veldra/                         the modules the host opens on first use, and
#                                                           the on-screen pad's window program beside its module
#   the native messaging manifests of Chrome, Chromium and Firefox, written at configure time with
#   the installed host path and the extension ids below.
set(VELDRA_HOST_NAME org.veldra.native_host)
set(VELDRA_INSTALL_HOST_DIR ${CMAKE_INSTALL_LIBEXECDIR}/veldra)
set(VELDRA_INSTALL_MODULE_DIR ${CMAKE_INSTALL_LIBDIR}/veldra)
set(VELDRA_CHROME_MANIFEST_DIR /etc/opt/chrome/native-messaging-hosts CACHE PATH "Chrome's system manifest folder")
set(VELDRA_CHROMIUM_MANIFEST_DIR /etc/chromium/native-messaging-hosts CACHE PATH "Chromium's system manifest folder")
set(VELDRA_FIREFOX_MANIFEST_DIR /usr/lib/mozilla/native-messaging-hosts CACHE PATH "Firefox's system manifest folder")
option(VELDRA_INSTALL_MANIFESTS "Install the browsers' native messaging manifests" ON)

# The modules are looked up beside the executable first (the build tree), then here.
target_compile_definitions(veldra_signing_device PRIVATE
  VELDRA_MODULE_DIR="${CMAKE_INSTALL_FULL_LIBDIR}/veldra")

install(TARGETS veldra-native-host RUNTIME DESTINATION ${VELDRA_INSTALL_HOST_DIR} COMPONENT host)
# The diagnosis is typed by people: on the PATH, looking for the host and the manifests installed here.
if(TARGET veldra-doctor)
  target_compile_definitions(veldra-doctor PRIVATE
    VELDRA_HOST_NAME="${VELDRA_HOST_NAME}"
    VELDRA_INSTALLED_HOST="${CMAKE_INSTALL_FULL_LIBEXECDIR}/veldra/veldra-native-host"
    VELDRA_CHROME_MANIFEST_DIR="${VELDRA_CHROME_MANIFEST_DIR}"
    VELDRA_CHROMIUM_MANIFEST_DIR="${VELDRA_CHROMIUM_MANIFEST_DIR}"
    VELDRA_FIREFOX_MANIFEST_DIR="${VELDRA_FIREFOX_MANIFEST_DIR}")
  install(TARGETS veldra-doctor RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT host)
  install(FILES ${CMAKE_SOURCE_DIR}/man/veldra-doctor.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT host)
endif()
foreach(module veldra_onscreen_pad veldra_image_decoder)
  if(TARGET ${module})
    install(TARGETS ${module} LIBRARY DESTINATION ${VELDRA_INSTALL_MODULE_DIR} COMPONENT pad)
  endif()
endforeach()
if(TARGET veldra_onscreen_pad_window)
  install(TARGETS veldra_onscreen_pad_window RUNTIME DESTINATION ${VELDRA_INSTALL_MODULE_DIR} COMPONENT pad)
endif()
install(FILES ${CMAKE_SOURCE_DIR}/man/veldra-native-host.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT host)

# JSON lists of the ids, with the browser's prefix and suffix.
function(veldra_json_list out prefix suffix)
  set(items "")
  foreach(id IN LISTS ARGN)
    if(NOT id MATCHES "^[A-Za-z0-9@._{}-]+$")
      message(FATAL_ERROR "extension id \"${id}\" has characters an extension id cannot have")
    endif()
    list(APPEND items "\"${prefix}${id}${suffix}\"")
  endforeach()
  list(JOIN items ", " joined)
  set(${out} "[${joined}]" PARENT_SCOPE)
endfunction()

if(VELDRA_INSTALL_MANIFESTS)
  set(VELDRA_INSTALLED_HOST ${CMAKE_INSTALL_FULL_LIBEXECDIR}/veldra/veldra-native-host)
  foreach(id IN LISTS VELDRA_CHROME_EXTENSION_IDS)
    string(LENGTH "${id}" length)
    if(NOT id MATCHES "^[a-p]+$" OR NOT length EQUAL 32)
      message(FATAL_ERROR "VELDRA_CHROME_EXTENSION_IDS: \"${id}\" is not an extension id (32 letters a to p)")
    endif()
  endforeach()
  veldra_json_list(VELDRA_ALLOWED_ORIGINS "chrome-extension://" "/" ${VELDRA_CHROME_EXTENSION_IDS})
  veldra_json_list(VELDRA_ALLOWED_EXTENSIONS "" "" ${VELDRA_FIREFOX_EXTENSION_IDS})
  set(_manifests ${CMAKE_BINARY_DIR}/native-messaging)
  configure_file(${CMAKE_SOURCE_DIR}/cmake/native-messaging/chrome.json.in
    ${_manifests}/chrome/${VELDRA_HOST_NAME}.json @ONLY)
  configure_file(${CMAKE_SOURCE_DIR}/cmake/native-messaging/firefox.json.in
    ${_manifests}/firefox/${VELDRA_HOST_NAME}.json @ONLY)
  install(FILES ${_manifests}/chrome/${VELDRA_HOST_NAME}.json DESTINATION ${VELDRA_CHROME_MANIFEST_DIR} COMPONENT host)
  install(FILES ${_manifests}/chrome/${VELDRA_HOST_NAME}.json DESTINATION ${VELDRA_CHROMIUM_MANIFEST_DIR} COMPONENT host)
  install(FILES ${_manifests}/firefox/${VELDRA_HOST_NAME}.json DESTINATION ${VELDRA_FIREFOX_MANIFEST_DIR} COMPONENT host)
endif()
