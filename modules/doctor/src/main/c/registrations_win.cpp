// The host and the browsers' registrations on Windows: the key NativeMessagingHosts\NAME of Chrome,
// Chromium, Edge and Firefox in HKCU and HKLM, each in the 32-bit and the 64-bit registry view, and
// the manifest each key names.
#include <windows.h>

#include <algorithm>
#include <utility>

#include "doctor.h"
#include "i18n.h"
#include "manifest.h"

namespace Doctor {
namespace {

struct Browser {
    const char* name;
    const char* key;
    ManifestKind kind;
};

constexpr Browser kBrowsers[] = {
    {"chrome", "Software\\Google\\Chrome\\NativeMessagingHosts\\" VELDRA_HOST_NAME, ManifestKind::Chrome},
    {"chromium", "Software\\Chromium\\NativeMessagingHosts\\" VELDRA_HOST_NAME, ManifestKind::Chrome},
    {"edge", "Software\\Microsoft\\Edge\\NativeMessagingHosts\\" VELDRA_HOST_NAME, ManifestKind::Chrome},
    {"firefox", "Software\\Mozilla\\NativeMessagingHosts\\" VELDRA_HOST_NAME, ManifestKind::Firefox},
};

struct Place {
    HKEY root;
    const char* rootName;
    REGSAM view;
    const char* viewName;
};

const Place kPlaces[] = {
    {HKEY_CURRENT_USER, "HKCU", KEY_WOW64_32KEY, "32-bit"},
    {HKEY_CURRENT_USER, "HKCU", KEY_WOW64_64KEY, "64-bit"},
    {HKEY_LOCAL_MACHINE, "HKLM", KEY_WOW64_32KEY, "32-bit"},
    {HKEY_LOCAL_MACHINE, "HKLM", KEY_WOW64_64KEY, "64-bit"},
};

// The key's default value: true with the text when the key is there (value empty when it has none).
bool ReadDefault(const Place& place, const char* key, std::string& value) {
    HKEY opened = nullptr;
    if (RegOpenKeyExA(place.root, key, 0, KEY_QUERY_VALUE | place.view, &opened) != ERROR_SUCCESS) return false;
    char buffer[2048];
    DWORD size = sizeof buffer - 1, type = 0;
    const LONG rc = RegQueryValueExA(opened, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size);
    RegCloseKey(opened);
    value.clear();
    if (rc == ERROR_SUCCESS && (type == REG_SZ || type == REG_EXPAND_SZ)) {
        buffer[size < sizeof buffer ? size : sizeof buffer - 1] = '\0';
        value = buffer;
    }
    return true;
}

}  // namespace

void CheckRegistrations(Findings& findings) {
    size_t usable = 0;
    std::vector<size_t> missing;
    for (const Browser& browser : kBrowsers) {
        bool found = false;
        std::vector<std::pair<HKEY, std::string>> seen;
        for (const Place& place : kPlaces) {
            std::string manifest;
            if (!ReadDefault(place, browser.key, manifest)) continue;
            found = true;
            // HKCU, and HKLM on a 32-bit system, show the same key in both views: once is enough.
            const std::pair<HKEY, std::string> entry{place.root, manifest};
            if (std::find(seen.begin(), seen.end(), entry) != seen.end()) continue;
            seen.push_back(entry);
            const std::string where =
                Utils::i18n_format(_("{1}\\{2} ({3} view)"), {place.rootName, browser.key, place.viewName});
            if (manifest.empty()) {
                findings.push_back({browser.name,
                                    Status::Problem,
                                    Utils::i18n_format(_("{1} names no manifest"), {where}),
                                    _("Install the host again (its .msi), or delete the key."),
                                    {}});
                continue;
            }
            Finding finding = CheckManifest(browser.name, place.root == HKEY_LOCAL_MACHINE, manifest, browser.kind);
            finding.details.insert(finding.details.begin(), Utils::i18n_format(_("registered by {1}"), {where}));
            if (finding.status != Status::Problem) ++usable;
            findings.push_back(std::move(finding));
        }
        if (found) continue;
        missing.push_back(findings.size());
        findings.push_back({browser.name,
                            Status::Warning,
                            Utils::i18n_format(_("no key {1} in HKCU or HKLM (either view): {2} cannot start the host"),
                                               {browser.key, browser.name}),
                            Utils::i18n_format(_("If you sign with {1}, install the host's .msi, which registers it "
                                                 "with every browser."),
                                               {browser.name}),
                            {}});
    }
    if (usable == 0)
        for (size_t at : missing) findings[at].status = Status::Problem;
}

}  // namespace Doctor
