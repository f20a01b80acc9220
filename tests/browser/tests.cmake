# Browser tests: scripts/install-host, and headless Chromium and Firefox ESR starting the built host
# for a test extension. The drivers' npm packages (playwright-core, ws; no browser download) go into
# the build tree.
find_program(VELDRA_NODE node)
if(NOT VELDRA_NODE)
  message(STATUS "browser tests: node not found, not registered")
  return()
endif()

set(VELDRA_BROWSER_NODE_MODULES ${CMAKE_BINARY_DIR}/browser-node)
set(_browser_tests ${CMAKE_CURRENT_LIST_DIR})

add_test(NAME browser.install_host
  COMMAND ${VELDRA_NODE} --test --test-reporter=spec ${_browser_tests}/install-host.test.mjs)
set_tests_properties(browser.install_host PROPERTIES LABELS browser TIMEOUT 60)

# Every language of the extension's catalogs and of the demo page has every text (no browser).
add_test(NAME browser.catalogs
  COMMAND ${VELDRA_NODE} --test --test-reporter=spec ${_browser_tests}/locales.test.mjs)
set_tests_properties(browser.catalogs PROPERTIES LABELS browser TIMEOUT 60)

add_test(NAME browser.setup
  COMMAND ${_browser_tests}/setup.sh ${VELDRA_BROWSER_NODE_MODULES})
set_tests_properties(browser.setup PROPERTIES LABELS browser TIMEOUT 300 FIXTURES_SETUP browser_node)

# The end-to-end suites need the host program of this build.
if(NOT TARGET veldra-native-host)
  message(STATUS "browser tests: no veldra-native-host target yet, end-to-end suites not registered")
  return()
endif()
foreach(suite host card)
  add_test(NAME browser.e2e_${suite}
    COMMAND ${VELDRA_NODE} ${_browser_tests}/e2e.mjs --suite ${suite}
            --build ${CMAKE_BINARY_DIR} --node-modules ${VELDRA_BROWSER_NODE_MODULES})
  set_tests_properties(browser.e2e_${suite} PROPERTIES
    LABELS browser TIMEOUT 120 FIXTURES_REQUIRED browser_node SKIP_RETURN_CODE 77)
endforeach()
# Firefox: one browser start for all cases, host and card alike (its start costs more than Chromium's).
add_test(NAME browser.firefox_e2e
  COMMAND ${VELDRA_NODE} ${_browser_tests}/e2e.mjs --browser firefox --suite all
          --build ${CMAKE_BINARY_DIR} --node-modules ${VELDRA_BROWSER_NODE_MODULES})
set_tests_properties(browser.firefox_e2e PROPERTIES
  LABELS browser TIMEOUT 400 FIXTURES_REQUIRED browser_node SKIP_RETURN_CODE 77)
# The card suites start the machine's one pcscd under "scripts/virtual-reader run", which waits for
# other runs' pcscd (up to 300 s, hence the long timeout; a run itself takes well under 90 s).
set_tests_properties(browser.e2e_card browser.firefox_e2e PROPERTIES RESOURCE_LOCK pcscd TIMEOUT 400)
# From a page: the demo site served locally, our extension (extension/) loaded into the browser,
# the test clicking through the page, the consent window, the PIN dialog and the on-screen pad
# (a private Xvfb on display 150 to 159) on the virtual reader.
foreach(browser chromium firefox)
  add_test(NAME browser.page_${browser}
    COMMAND ${VELDRA_NODE} ${_browser_tests}/page.mjs --browser ${browser}
            --build ${CMAKE_BINARY_DIR} --node-modules ${VELDRA_BROWSER_NODE_MODULES})
  set_tests_properties(browser.page_${browser} PROPERTIES
    LABELS "browser;gui" TIMEOUT 450 FIXTURES_REQUIRED browser_node SKIP_RETURN_CODE 77 RESOURCE_LOCK pcscd)
endforeach()
# No card, no readers, no display, one browser start per suite and language: guard, what a hostile
# page can do through our extension, the host behind a wrapper that records its runs (a consent
# window waits 40 s in it); locales, the consent window and the demo page in English, Dutch, French
# and German, the browser's language set as a user sets it, no host.
foreach(suite guard locales)
  foreach(browser chromium firefox)
    add_test(NAME browser.${suite}_${browser}
      COMMAND ${VELDRA_NODE} ${_browser_tests}/page.mjs --browser ${browser} --suite ${suite}
              --build ${CMAKE_BINARY_DIR} --node-modules ${VELDRA_BROWSER_NODE_MODULES})
    set_tests_properties(browser.${suite}_${browser} PROPERTIES
      LABELS browser TIMEOUT 240 FIXTURES_REQUIRED browser_node SKIP_RETURN_CODE 77)
  endforeach()
endforeach()
