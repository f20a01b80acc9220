// The registry checker of GET_SYSTEM_INFO against entries the test writes into both registry
// sources (the process's default view, as the checker reads it), removed afterwards.
#include <windows.h>

#include <cstdlib>
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "plugin-api-system.h"
#include "plugin-api-system-registry.h"

namespace {

const char* const UNINSTALL = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
const char* const PRODUCTS = "Installer\\Products";

// One registry key with string or number values, deleted with the object.
class TestKey {
public:
    TestKey(HKEY root, const std::string& parent, const std::string& name) : root_(root) {
        path_ = parent + "\\" + name + "-" + std::to_string(GetCurrentProcessId());
        EXPECT_EQ(RegCreateKeyExA(root_, path_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key_, nullptr),
                  ERROR_SUCCESS)
            << path_;
    }
    ~TestKey() {
        if (key_) RegCloseKey(key_);
        RegDeleteKeyA(root_, path_.c_str());
    }
    TestKey& text(const char* name, const std::string& value) {
        RegSetValueExA(key_, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                       static_cast<DWORD>(value.size() + 1));
        return *this;
    }
    TestKey& number(const char* name, DWORD value) {
        RegSetValueExA(key_, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
        return *this;
    }

private:
    HKEY root_;
    HKEY key_ = nullptr;
    std::string path_;
};

std::string version_of(const char* displayName) { return RegistryChecker(displayName).version(); }

}  // namespace

TEST(RegistryChecker, FindsUninstallEntryByNameSubstringInAnyCase) {
    EXPECT_EQ(version_of("Veldra Test Reader Driver"), "");
    TestKey key(HKEY_LOCAL_MACHINE, UNINSTALL, "VeldraTestReader");
    key.text("DisplayName", "VELDRA test reader driver (x64)").text("DisplayVersion", "4.2.1");
    EXPECT_EQ(version_of("Veldra Test Reader Driver"), "4.2.1");
}

TEST(RegistryChecker, InstallerProductWithNumericVersion) {
    TestKey key(HKEY_CLASSES_ROOT, PRODUCTS, "VeldraTestPad");
    key.text("ProductName", "Veldra Test Pad Driver").number("Version", 0x05010203);
    EXPECT_EQ(version_of("veldra test pad driver"), "5.1.2.3");
}

TEST(RegistryChecker, FirstSourceWinsAndIncompleteEntriesAreSkipped) {
    TestKey product(HKEY_CLASSES_ROOT, PRODUCTS, "VeldraTestBoth");
    product.text("ProductName", "Veldra Both Driver").text("Version", "2.0");
    TestKey uninstall(HKEY_LOCAL_MACHINE, UNINSTALL, "VeldraTestBoth");
    uninstall.text("DisplayName", "Veldra Both Driver").text("DisplayVersion", "1.0");
    TestKey nameless(HKEY_LOCAL_MACHINE, UNINSTALL, "VeldraTestNoVersion");
    nameless.text("DisplayName", "Veldra Lonely Driver");
    EXPECT_EQ(version_of("Veldra Both Driver"), "1.0");
    EXPECT_EQ(version_of("Veldra Lonely Driver"), "");
}

TEST(RegistryChecker, VersionTextByValueType) {
    const DWORD number = 0x01020304;
    EXPECT_EQ(registry_version_text(REG_DWORD, reinterpret_cast<const BYTE*>(&number), 4), "1.2.3.4");
    const char text[] = "7.0 \"beta\"";
    EXPECT_EQ(registry_version_text(REG_SZ, reinterpret_cast<const BYTE*>(text), sizeof text), "7.0 \"beta\"");
    EXPECT_EQ(registry_version_text(REG_BINARY, reinterpret_cast<const BYTE*>(text), sizeof text), "");
    EXPECT_EQ(registry_version_text(REG_DWORD, reinterpret_cast<const BYTE*>(&number), 2), "");
}

TEST(SystemInfoWin, AnswerListsThisMachinesHidDevicesAndTheComponentTable) {
    TestKey key(HKEY_LOCAL_MACHINE, UNINSTALL, "VeldraTestVasco");
    key.text("DisplayName", "VASCO DIGIPASS Secure Card Reader Driver (x64)").text("DisplayVersion", "3.5.0");
    Watcher watcher;
    api_ctx ctx;
    ctx.watcher = &watcher;
    json_response* response = json_response_new();
    get_system_info(&ctx, response);
    char* raw = json_response_release(response);
    const std::string text = raw;
    std::free(raw);
    const auto answer = nlohmann::json::parse(text);
    ASSERT_TRUE(answer.contains("deviceList")) << text;
    for (const auto& entry : answer["deviceList"]) EXPECT_EQ(entry["vidpid"].get<std::string>().size() >= 6, true);
    ASSERT_EQ(answer["packageList"].size(), 2u) << text;
    EXPECT_EQ(answer["packageList"][0]["component"], "stepover");
    EXPECT_EQ(answer["packageList"][0]["version"], "");
    EXPECT_EQ(answer["packageList"][1]["component"], "vasco");
    EXPECT_EQ(answer["packageList"][1]["version"], "3.5.0");
}
