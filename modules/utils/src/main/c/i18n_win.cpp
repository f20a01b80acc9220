// Windows has no gettext in its C library: the catalog of the first language that has one, read
// once with our own reader (mo_catalog.h) from "locale" beside the program.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "i18n.h"
#include "mo_catalog.h"

namespace Utils {
namespace {

// LANGUAGE (a list separated by ":"), then the user's UI language, each as "nl_BE" and then "nl".
std::vector<std::wstring> languages() {
    std::vector<std::wstring> names;
    const auto add = [&names](std::wstring name) {
        for (wchar_t& c : name)
            if (c == L'-') c = L'_';
        if (name.empty() || name.size() > 16 || name.find_first_of(L"\\/.") != std::wstring::npos) return;
        names.push_back(name);
        const std::size_t underscore = name.find(L'_');
        if (underscore != std::wstring::npos) names.push_back(name.substr(0, underscore));
    };
    if (const wchar_t* list = _wgetenv(L"LANGUAGE")) {
        const std::wstring text(list);
        for (std::size_t start = 0; start <= text.size();) {
            const std::size_t end = std::min(text.find(L':', start), text.size());
            add(text.substr(start, end - start));
            start = end + 1;
        }
    }
    wchar_t name[LOCALE_NAME_MAX_LENGTH] = {};
    if (LCIDToLocaleName(MAKELCID(GetUserDefaultUILanguage(), SORT_DEFAULT), name, LOCALE_NAME_MAX_LENGTH, 0) > 0)
        add(name);
    return names;
}

std::wstring program_folder() {
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return {};
    const std::wstring program(path, length);
    const std::size_t slash = program.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : program.substr(0, slash + 1);
}

// The whole file, or nothing when it is missing or larger than a catalog can be.
std::optional<std::string> read_bounded(const std::wstring& path) {
    const std::unique_ptr<FILE, int (*)(FILE*)> file(_wfopen(path.c_str(), L"rb"), fclose);
    if (!file) return std::nullopt;
    std::string bytes(kMoCatalogMaxBytes + 1, '\0');
    bytes.resize(std::fread(bytes.data(), 1, bytes.size(), file.get()));
    if (bytes.size() > kMoCatalogMaxBytes) return std::nullopt;
    return bytes;
}

MoCatalog load() {
    const std::wstring folder = program_folder();
    if (folder.empty()) return {};
    for (const std::wstring& language : languages()) {
        if (language == L"en" || language == L"C") return {};
        const auto bytes = read_bounded(folder + L"locale\\" + language + L"\\LC_MESSAGES\\veldra.mo");
        if (!bytes) continue;
        if (auto catalog = mo_catalog_parse(*bytes)) return std::move(*catalog);
    }
    return {};
}

// Read on first use and never changed afterwards.
const MoCatalog& catalog() {
    static const MoCatalog loaded = load();
    return loaded;
}

// Set once by i18n_init: a program that never calls it (veldra-doctor --json) stays English.
std::atomic<bool>& enabled() {
    static std::atomic<bool> flag{false};
    return flag;
}

}  // namespace

// The catalog is read when the first text is asked for: most requests show none.
void i18n_init() { enabled().store(true); }

const char* translate(const char* english) {
    if (!enabled().load()) return english;
    const MoCatalog& texts = catalog();
    const auto found = texts.find(english);
    return found == texts.end() ? english : found->second.c_str();
}

}  // namespace Utils
