// veldra-install-host.exe: registers veldra-native-host.exe with Chrome, Chromium and Firefox on
// Windows, or removes that registration. The manifests go beside the host program; each browser's
// key <root>\Software\{Google\Chrome,Chromium,Mozilla}\NativeMessagingHosts\NAME gets the full path
// of its manifest as default value (root HKCU, or HKLM with --system). Every argument is checked
// before anything is written.
#include <windows.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "json.h"

namespace {

constexpr const char* MARKER = "veldra-native-host (registered by veldra-install-host)";

struct Options {
    HKEY root = HKEY_CURRENT_USER;
    bool uninstall = false;
    std::string name = "org.veldra.native_host";
    std::string host;
    std::vector<std::string> chromeIds, firefoxIds;
};

int usage(const std::string& problem) {
    if (!problem.empty()) std::fprintf(stderr, "veldra-install-host: %s; nothing was changed\n", problem.c_str());
    std::fprintf(stderr,
                 "usage: veldra-install-host [--system] [--name NAME] [--host PATH] EXTENSION_ID...\n"
                 "       veldra-install-host --uninstall [--system] [--name NAME] [--host PATH]\n"
                 "EXTENSION_ID: a Chrome or Chromium extension id (32 letters a to p) or a Firefox\n"
                 "add-on id (name@example.org or {GUID}).\n");
    return 2;
}

bool is_chrome_id(const std::string& id) {
    if (id.size() != 32) return false;
    for (char c : id)
        if (c < 'a' || c > 'p') return false;
    return true;
}

bool is_firefox_id(const std::string& id) {
    if (id.empty() || id.size() > 255) return false;
    for (char c : id)
        if (static_cast<unsigned char>(c) < 0x21 || c == '"' || c == '\\') return false;
    return id.find('@') != std::string::npos || (id.front() == '{' && id.back() == '}');
}

// Lower-case letters, digits and "_", with single dots between parts.
bool is_host_name(const std::string& name) {
    if (name.empty() || name.front() == '.' || name.back() == '.') return false;
    for (size_t i = 0; i < name.size(); ++i) {
        const char c = name[i];
        const bool ok = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '.';
        if (!ok || (c == '.' && name[i + 1] == '.')) return false;
    }
    return true;
}

std::wstring widen(const std::string& text) {
    const int size = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
    std::wstring wide(size > 0 ? static_cast<size_t>(size) : 1, L'\0');
    if (size > 0) MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, wide.data(), size);
    wide.resize(wide.size() - 1);
    return wide;
}

std::string full_path(const std::string& path) {
    char buffer[MAX_PATH * 4];
    const DWORD length = GetFullPathNameA(path.c_str(), sizeof buffer, buffer, nullptr);
    return length > 0 && length < sizeof buffer ? std::string(buffer, length) : path;
}

std::string program_folder() {
    char path[MAX_PATH * 4];
    const DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
    std::string program(path, length);
    const size_t slash = program.find_last_of("\\/");
    return slash == std::string::npos ? std::string() : program.substr(0, slash + 1);
}

std::string json_list(const std::vector<std::string>& items, const char* before, const char* after) {
    std::string list = "[";
    for (size_t i = 0; i < items.size(); ++i)
        list += (i ? ", \"" : "\"") + json_escape((before + items[i] + after).c_str()) + "\"";
    return list + "]";
}

bool write_manifest(const std::string& path, const Options& options, const std::string& allowed) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << "{\n  \"name\": \"" << options.name << "\",\n  \"description\": \"" << MARKER << "\",\n  \"path\": \""
        << json_escape(options.host.c_str()) << "\",\n  \"type\": \"stdio\",\n  " << allowed << "\n}\n";
    return static_cast<bool>(out.flush());
}

bool set_default_value(HKEY root, const std::string& key, const std::string& value) {
    HKEY handle = nullptr;
    if (RegCreateKeyExW(root, widen(key).c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &handle, nullptr) !=
        ERROR_SUCCESS)
        return false;
    const std::wstring wide = widen(value);
    const LSTATUS result = RegSetValueExW(handle, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(wide.c_str()),
                                          static_cast<DWORD>((wide.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(handle);
    return result == ERROR_SUCCESS;
}

// A manifest is removed only when this program wrote it.
void remove_manifest(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    in.close();
    if (text.find(MARKER) != std::string::npos) DeleteFileW(widen(path).c_str());
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--system") {
            options.root = HKEY_LOCAL_MACHINE;
        } else if (arg == "--uninstall") {
            options.uninstall = true;
        } else if (arg == "--name" || arg == "--host") {
            if (i + 1 >= argc || !argv[i + 1][0]) return usage("option " + arg + " needs a value");
            (arg == "--name" ? options.name : options.host) = argv[++i];
        } else if (arg == "-h" || arg == "--help") {
            usage("");
            return 0;
        } else if (is_chrome_id(arg)) {
            options.chromeIds.push_back(arg);
        } else if (is_firefox_id(arg)) {
            options.firefoxIds.push_back(arg);
        } else {
            return usage("not an option or an extension id: " + arg);
        }
    }
    if (!is_host_name(options.name)) return usage("not a host name: " + options.name);
    options.host = full_path(options.host.empty() ? program_folder() + "veldra-native-host.exe" : options.host);
    if (GetFileAttributesW(widen(options.host).c_str()) == INVALID_FILE_ATTRIBUTES)
        return usage("no host program at " + options.host);
    if (!options.uninstall && options.chromeIds.empty() && options.firefoxIds.empty()) return usage("no extension id");

    const std::string folder = options.host.substr(0, options.host.find_last_of("\\/") + 1);
    const std::string chromeManifest = folder + options.name + ".chrome.json";
    const std::string firefoxManifest = folder + options.name + ".firefox.json";
    const std::string chromeKey = "Software\\Google\\Chrome\\NativeMessagingHosts\\" + options.name;
    const std::string chromiumKey = "Software\\Chromium\\NativeMessagingHosts\\" + options.name;
    const std::string firefoxKey = "Software\\Mozilla\\NativeMessagingHosts\\" + options.name;

    if (options.uninstall) {
        for (const std::string& key : {chromeKey, chromiumKey, firefoxKey})
            RegDeleteKeyW(options.root, widen(key).c_str());
        remove_manifest(chromeManifest);
        remove_manifest(firefoxManifest);
        return 0;
    }
    bool ok = true;
    if (!options.chromeIds.empty()) {
        ok = write_manifest(chromeManifest, options,
                            "\"allowed_origins\": " + json_list(options.chromeIds, "chrome-extension://", "/")) &&
             set_default_value(options.root, chromeKey, chromeManifest) &&
             set_default_value(options.root, chromiumKey, chromeManifest);
    }
    if (ok && !options.firefoxIds.empty()) {
        ok = write_manifest(firefoxManifest, options,
                            "\"allowed_extensions\": " + json_list(options.firefoxIds, "", "")) &&
             set_default_value(options.root, firefoxKey, firefoxManifest);
    }
    if (!ok) {
        std::fprintf(stderr, "veldra-install-host: could not write a manifest or a registry key\n");
        return 1;
    }
    return 0;
}
