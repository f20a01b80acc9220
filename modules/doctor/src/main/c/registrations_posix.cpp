// The host and the browsers' registrations on Linux: the manifest folders of Chrome, Chromium and
// Firefox (system and per user), and those of their snap and Flatpak packagings.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "doctor.h"
#include "i18n.h"
#include "manifest.h"

namespace Doctor {
namespace {

constexpr const char* kManifestName = VELDRA_HOST_NAME ".json";

std::string Home() {
    const char* home = std::getenv("HOME");
    return home && home[0] == '/' ? home : "";
}

std::string ConfigHome() {
    const char* config = std::getenv("XDG_CONFIG_HOME");
    if (config && config[0] == '/') return config;
    return Home().empty() ? "" : Home() + "/.config";
}

bool Exists(const std::string& path) {
    struct stat info {};
    return !path.empty() && stat(path.c_str(), &info) == 0;
}

struct Browser {
    const char* name;
    ManifestKind kind;
    std::vector<std::string> systemFolders;
    std::vector<std::string> userFolders;
};

std::vector<Browser> Browsers() {
    const std::string config = ConfigHome(), home = Home();
    auto user = [](const std::string& base, const char* rest) {
        return base.empty() ? std::vector<std::string>{} : std::vector<std::string>{base + rest};
    };
    return {
        {"chrome",
         ManifestKind::Chrome,
         {VELDRA_CHROME_MANIFEST_DIR},
         user(config, "/google-chrome/NativeMessagingHosts")},
        {"chromium",
         ManifestKind::Chrome,
         {VELDRA_CHROMIUM_MANIFEST_DIR},
         user(config, "/chromium/NativeMessagingHosts")},
        {"firefox",
         ManifestKind::Firefox,
         {VELDRA_FIREFOX_MANIFEST_DIR, "/usr/lib64/mozilla/native-messaging-hosts"},
         user(home, "/.mozilla/native-messaging-hosts")},
    };
}

// A browser in a sandbox: where it would be installed and where it reads manifests.
struct Sandboxed {
    const char* name;
    ManifestKind kind;
    std::vector<std::string> installedAt;
    std::string folder;
};

std::vector<Sandboxed> SandboxedBrowsers() {
    const std::string home = Home();
    auto at = [&home](const char* rest) { return home.empty() ? std::string() : home + rest; };
    return {
        {"firefox (snap)",
         ManifestKind::Firefox,
         {"/snap/firefox/current"},
         at("/snap/firefox/common/.mozilla/native-messaging-hosts")},
        {"chromium (snap)",
         ManifestKind::Chrome,
         {"/snap/chromium/current"},
         at("/snap/chromium/common/chromium/NativeMessagingHosts")},
        {"firefox (Flatpak)",
         ManifestKind::Firefox,
         {"/var/lib/flatpak/app/org.mozilla.firefox", at("/.local/share/flatpak/app/org.mozilla.firefox")},
         at("/.var/app/org.mozilla.firefox/.mozilla/native-messaging-hosts")},
        {"chromium (Flatpak)",
         ManifestKind::Chrome,
         {"/var/lib/flatpak/app/org.chromium.Chromium", at("/.local/share/flatpak/app/org.chromium.Chromium")},
         at("/.var/app/org.chromium.Chromium/config/chromium/NativeMessagingHosts")},
    };
}

}  // namespace

void CheckRegistrations(Findings& findings) {
    size_t usable = 0;
    std::vector<size_t> missing;
    for (const Browser& browser : Browsers()) {
        std::vector<std::string> looked;
        bool found = false;
        for (const auto* folders : {&browser.systemFolders, &browser.userFolders}) {
            const bool system = folders == &browser.systemFolders;
            for (const std::string& folder : *folders) {
                const std::string path = folder + "/" + kManifestName;
                looked.push_back(Shorten(folder));
                struct stat info {};
                if (lstat(path.c_str(), &info) != 0) continue;  // a dangling link is examined too
                found = true;
                Finding finding = CheckManifest(browser.name, system, path, browser.kind);
                if (finding.status != Status::Problem) ++usable;
                findings.push_back(std::move(finding));
            }
        }
        if (found) continue;
        std::string folders;
        for (const std::string& folder : looked)
            folders = folders.empty() ? folder : Utils::i18n_format(_("{1} or {2}"), {folders, folder});
        missing.push_back(findings.size());
        findings.push_back(
            {browser.name,
             Status::Warning,
             Utils::i18n_format(_("no manifest {1} in {2}: {3} cannot start the host"),
                                {kManifestName, folders, browser.name}),
             Utils::i18n_format(_("If you sign with {1}, install the veldra-native-host package, which registers the "
                                  "host with every browser."),
                                {browser.name}),
             {}});
    }
    // Without any usable registration, no browser can start the host.
    if (usable == 0)
        for (size_t at : missing) findings[at].status = Status::Problem;

    bool anySandboxed = false;
    const bool portal = Exists("/usr/libexec/xdg-desktop-portal");
    for (const Sandboxed& browser : SandboxedBrowsers()) {
        bool installed = false;
        for (const std::string& place : browser.installedAt) installed = installed || Exists(place);
        const std::string path = browser.folder.empty() ? "" : browser.folder + "/" + kManifestName;
        if (!installed && !Exists(path)) continue;
        anySandboxed = true;
        Finding finding{browser.name, Status::Warning, "", "", {}};
        finding.text = Utils::i18n_format(
            portal ? _("{1} starts native hosts only through the desktop portal (xdg-desktop-portal with native "
                       "messaging support), which starts the host without an origin argument; the portal is installed")
                   : _("{1} starts native hosts only through the desktop portal (xdg-desktop-portal with native "
                       "messaging support), which starts the host without an origin argument; the portal is not "
                       "installed"),
            {browser.name});
        finding.advice = portal ? _("Allow the browser to start the host when the portal asks, or sign with the "
                                    "browser's Debian package.")
                                : _("Sign with the browser's Debian package, or install xdg-desktop-portal with "
                                    "native messaging support.");
        if (Exists(path)) {
            const Finding manifest = CheckManifest(browser.name, false, path, browser.kind);
            finding.details.push_back(
                (manifest.status == Status::Problem ? std::string(_("PROBLEM")) + " " : std::string()) + manifest.text);
            for (const std::string& detail : manifest.details) finding.details.push_back(detail);
        } else {
            finding.details.push_back(Utils::i18n_format(_("no manifest in {1}"), {Shorten(browser.folder)}));
        }
        findings.push_back(std::move(finding));
    }
    if (!anySandboxed)
        findings.push_back(
            {N_("sandboxed browsers"), Status::Ok, _("no snap or Flatpak Firefox or Chromium is installed"), "", {}});
}

}  // namespace Doctor
