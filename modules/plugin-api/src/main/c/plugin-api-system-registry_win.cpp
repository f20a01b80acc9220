#include "plugin-api-system-registry.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr DWORD VALUE_BUFFER = 1024;
constexpr DWORD SUBKEY_NAME_BUFFER = 1024;

struct RegistrySource {
    HKEY root;
    const char* key;
    const char* nameValue;
    const char* versionValue;
};

const RegistrySource SOURCES[] = {
    {HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall", "DisplayName", "DisplayVersion"},
    {HKEY_CLASSES_ROOT, "Installer\\Products", "ProductName", "Version"},
};

class Key {
public:
    Key(HKEY root, const std::string& path) {
        if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &key_) != ERROR_SUCCESS) key_ = nullptr;
    }
    ~Key() {
        if (key_) RegCloseKey(key_);
    }
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;
    HKEY get() const { return key_; }

private:
    HKEY key_ = nullptr;
};

// The value's bytes (at most 1024, terminated) and type; false when it cannot be read.
bool read_value(HKEY key, const char* name, char (&buffer)[VALUE_BUFFER + 1], DWORD& type, DWORD& size) {
    std::memset(buffer, 0, sizeof buffer);
    size = VALUE_BUFFER;
    return RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size) == ERROR_SUCCESS;
}

std::string text_of(const char* data, DWORD size) {
    size_t length = 0;
    while (length < size && data[length] != '\0') ++length;
    return std::string(data, length);
}

void add_source(const RegistrySource& source, std::vector<InstalledProgram>& programs) {
    Key top(source.root, source.key);
    if (!top.get()) return;
    for (DWORD index = 0;; ++index) {
        char subkey[SUBKEY_NAME_BUFFER];
        DWORD length = sizeof subkey;
        if (RegEnumKeyExA(top.get(), index, subkey, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        Key entry(source.root, std::string(source.key) + "\\" + std::string(subkey, length));
        if (!entry.get()) continue;
        char name[VALUE_BUFFER + 1], version[VALUE_BUFFER + 1];
        DWORD nameType = 0, nameSize = 0, versionType = 0, versionSize = 0;
        if (!read_value(entry.get(), source.nameValue, name, nameType, nameSize) ||
            !read_value(entry.get(), source.versionValue, version, versionType, versionSize))
            continue;
        programs.push_back({text_of(name, nameSize),
                            registry_version_text(versionType, reinterpret_cast<const BYTE*>(version), versionSize)});
    }
}

}  // namespace

std::string registry_version_text(DWORD type, const BYTE* data, DWORD size) {
    if (type == REG_SZ) return text_of(reinterpret_cast<const char*>(data), size);
    if (type == REG_DWORD && size >= 4) {
        DWORD value;
        std::memcpy(&value, data, sizeof value);
        char text[20];
        std::snprintf(text, sizeof text, "%u.%u.%u.%u", static_cast<unsigned>(value >> 24 & 0xFF),
                      static_cast<unsigned>(value >> 16 & 0xFF), static_cast<unsigned>(value >> 8 & 0xFF),
                      static_cast<unsigned>(value & 0xFF));
        return text;
    }
    return {};
}

std::vector<InstalledProgram> installed_programs_from_registry() {
    std::vector<InstalledProgram> programs;
    for (const RegistrySource& source : SOURCES) add_source(source, programs);
    return programs;
}
