// webext-veldra-firefox (read by Debian's firefox-esr from /etc/firefox-esr and by its firefox from
// /etc/firefox): Firefox looks into the system add-on folder (scope 8) at every start, so
// that a profile made before the package was installed finds the add-on as a new install and
// grants its content script its sites (an add-on found only by a later scan never gets them).
pref("extensions.startupScanScopes", 8);
