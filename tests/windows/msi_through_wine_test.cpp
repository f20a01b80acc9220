// The Windows installer under Wine: veldra-native-host-VERSION-x86.msi (VELDRA_WINDOWS_MSI) installed
// per machine with msiexec, the browsers' keys and the manifests they point at checked, the installed
// host found through them and compared byte for byte with the Linux host, then removed without a
// trace; an older package (VELDRA_WINDOWS_OLD_MSI) replaced by it; and the installed host signing on
// the virtual card. WINEPREFIX comes from scripts/windows-test, which runs this under
// scripts/virtual-reader run and veldra-winscard-relay.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "card_test_support.h"
#include "host_process.h"
#include "wine_host.h"

using hosttest::HostOptions;
using hosttest::HostRun;
using hosttest::run_host;

namespace {

const std::string NAME = "org.veldra.native_host";
const std::vector<std::string> CHROME_FAMILY = {"Google\\Chrome", "Chromium", "Microsoft\\Edge"};
const std::string CURRENT_VERSION = "Software\\Microsoft\\Windows\\CurrentVersion";

std::string env(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

HostRun wine(const std::vector<std::string>& args) {
    HostOptions o;
    o.program = "/usr/bin/wine";
    o.args = args;
    o.env["WINEDEBUG"] = "-all";
    o.limit = std::chrono::milliseconds(180000);
    return run_host("", o);
}

std::string trimmed(std::string text) {
    while (!text.empty() && (text.back() == '\r' || text.back() == '\n' || text.back() == ' ')) text.pop_back();
    return text;
}

// A value of a key under HKLM in the 32-bit registry view ("32", the one every browser reads first)
// or the 64-bit one ("64"); the key's default value when name is empty; nullopt when there is none.
std::optional<std::string> hklm_value(const std::string& view, const std::string& key, const std::string& name = "") {
    std::vector<std::string> args = {"reg", "query", "HKLM\\" + key};
    if (name.empty()) args.push_back("/ve");
    else args.insert(args.end(), {"/v", name});
    args.push_back("/reg:" + view);
    const HostRun run = wine(args);
    const size_t at = run.out.find("REG_SZ");
    if (run.exit_code != 0 || at == std::string::npos) return std::nullopt;
    const size_t start = run.out.find_first_not_of(' ', at + 6);
    return start == std::string::npos ? "" : trimmed(run.out.substr(start, run.out.find('\n', start) - start));
}

bool hklm_key_exists(const std::string& view, const std::string& key) {
    return wine({"reg", "query", "HKLM\\" + key, "/reg:" + view}).exit_code == 0;
}

std::string unix_path(const std::string& windowsPath) { return trimmed(wine({"winepath", "-u", windowsPath}).out); }

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string product_code(const std::string& msi) {
    HostOptions o;
    o.program = "/usr/bin/msiinfo";
    o.args = {"export", msi, "Property"};
    const std::string table = run_host("", o).out;
    const size_t at = table.find("ProductCode\t");
    return at == std::string::npos ? "" : trimmed(table.substr(at + 12, 38));
}

bool product_registered(const std::string& code) {
    const std::string key = CURRENT_VERSION + "\\Uninstall\\" + code;
    return hklm_key_exists("32", key) || hklm_key_exists("64", key);
}

class MsiThroughWine : public testing::Test {
protected:
    void SetUp() override {
        msi_ = env("VELDRA_WINDOWS_MSI");
        oldMsi_ = env("VELDRA_WINDOWS_OLD_MSI");
        if (msi_.empty() || oldMsi_.empty())
            FAIL() << "VELDRA_WINDOWS_MSI / VELDRA_WINDOWS_OLD_MSI not set (run scripts/windows-test)";
        // What an interrupted run may have left installed in the prefix.
        for (const std::string& package : {msi_, oldMsi_}) wine({"msiexec", "/x", package, "/qn"});
        // [ProgramFilesFolder] of a 32-bit package: "Program Files (x86)" where there is a 64-bit view.
        const auto x86 = hklm_value("64", CURRENT_VERSION, "ProgramFilesDir (x86)");
        win64_ = x86.has_value();
        windowsFolder_ = x86.value_or(hklm_value("32", CURRENT_VERSION, "ProgramFilesDir").value_or("")) + "\\Veldra";
        folder_ = unix_path(windowsFolder_);
    }
    void install(const std::string& package) {
        const HostRun run = wine({"msiexec", "/i", package, "/qn"});
        ASSERT_EQ(run.exit_code, 0) << package << "\n" << run.err;
    }
    // Nothing of the package is left: no host key in either registry view, no folder, no product.
    void expect_gone() {
        for (const char* view : {"32", "64"}) {
            for (const std::string& browser : CHROME_FAMILY)
                EXPECT_FALSE(hklm_key_exists(view, "Software\\" + browser + "\\NativeMessagingHosts\\" + NAME))
                    << browser;
            EXPECT_FALSE(hklm_key_exists(view, "Software\\Mozilla\\NativeMessagingHosts\\" + NAME));
        }
        EXPECT_FALSE(std::filesystem::exists(folder_)) << folder_;
        EXPECT_FALSE(product_registered(product_code(msi_)));
    }
    std::string msi_, oldMsi_, windowsFolder_, folder_;
    bool win64_ = false;  // a prefix with a 64-bit registry view beside the 32-bit one
};

}  // namespace

TEST_F(MsiThroughWine, InstallsPerMachineTheBrowsersFindTheHostAndUninstallLeavesNothing) {
    install(msi_);
    ASSERT_FALSE(folder_.empty()) << windowsFolder_;
    // The 32-bit package writes the 32-bit view, which every browser reads; a 64-bit view stays empty.
    const std::string chromeKey = "Software\\Google\\Chrome\\NativeMessagingHosts\\" + NAME;
    const std::string firefoxKey = "Software\\Mozilla\\NativeMessagingHosts\\" + NAME;
    for (const std::string& browser : CHROME_FAMILY) {
        const std::string key = "Software\\" + browser + "\\NativeMessagingHosts\\" + NAME;
        EXPECT_EQ(hklm_value("32", key), windowsFolder_ + "\\" + NAME + ".chrome.json") << browser;
        if (win64_) {
            EXPECT_FALSE(hklm_key_exists("64", key)) << browser;
        }
    }
    EXPECT_EQ(hklm_value("32", firefoxKey), windowsFolder_ + "\\" + NAME + ".firefox.json");
    if (win64_) {
        EXPECT_FALSE(hklm_key_exists("64", firefoxKey));
    }

    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(folder_)) files.push_back(entry.path().filename());
    std::sort(files.begin(), files.end());
    EXPECT_EQ(files, (std::vector<std::string>{"locale", NAME + ".chrome.json", NAME + ".firefox.json",
                                               "veldra-doctor.exe", "veldra-native-host.exe"}));
    for (const char* language : {"de", "fr", "nl"})
        EXPECT_TRUE(std::filesystem::is_regular_file(folder_ + "/locale/" + language + "/LC_MESSAGES/veldra.mo"))
            << language;

    // As a browser does: the key's manifest, the manifest's path relative to its folder, then a request.
    const std::string built = env("VELDRA_WINDOWS_HOST");
    for (const std::string& key : {chromeKey, firefoxKey}) {
        const std::string manifestPath = unix_path(hklm_value("32", key).value_or(""));
        const auto manifest = nlohmann::json::parse(read_file(manifestPath), nullptr, false);
        ASSERT_TRUE(manifest.is_object()) << manifestPath;
        EXPECT_EQ(manifest["name"], NAME);
        EXPECT_EQ(manifest["type"], "stdio");
        // Our extension alone: the test extension asks no consent.
        const bool firefox = key.find("Mozilla") != std::string::npos;
        EXPECT_EQ(manifest[firefox ? "allowed_extensions" : "allowed_origins"],
                  firefox ? nlohmann::json::array({"webext@veldra.org"})
                          : nlohmann::json::array({"chrome-extension://jlcdhkdjighmfoibpoaickdcjhiogpbn/"}));
        const std::string host = std::filesystem::path(manifestPath).parent_path() / std::string(manifest["path"]);
        EXPECT_EQ(read_file(host), read_file(built)) << host;

        const std::string request = hosttest::frame(R"({"cmd":"GET_INFO"})");
        HostOptions onLinux;
        hosttest::TempDir home;
        onLinux.env["HOME"] = home.path();
        onLinux.unset_env = {"XDG_DATA_HOME"};
        const HostRun linuxRun = run_host(request, onLinux);
        const HostRun windowsRun = hosttest::run_host(request, winetest::wine_options(host));
        EXPECT_EQ(windowsRun.exit_code, 0) << windowsRun.err;
        EXPECT_EQ(windowsRun.out, linuxRun.out);
        EXPECT_TRUE(windowsRun.answer().has_value());
    }

    const HostRun removed = wine({"msiexec", "/x", msi_, "/qn"});
    ASSERT_EQ(removed.exit_code, 0) << removed.err;
    expect_gone();
}

TEST_F(MsiThroughWine, NewerPackageReplacesAnOlderInstall) {
    install(oldMsi_);
    const std::string oldCode = product_code(oldMsi_);
    ASSERT_FALSE(oldCode.empty());
    ASSERT_NE(oldCode, product_code(msi_));
    EXPECT_TRUE(product_registered(oldCode));
    install(msi_);
    EXPECT_FALSE(product_registered(oldCode));
    EXPECT_TRUE(product_registered(product_code(msi_)));
    // Were the older product still there, it would keep the shared files and keys after this.
    ASSERT_EQ(wine({"msiexec", "/x", msi_, "/qn"}).exit_code, 0);
    expect_gone();
    // An older package does not replace a newer one.
    install(msi_);
    EXPECT_NE(wine({"msiexec", "/i", oldMsi_, "/qn"}).exit_code, 0);
    EXPECT_TRUE(product_registered(product_code(msi_)));
    ASSERT_EQ(wine({"msiexec", "/x", msi_, "/qn"}).exit_code, 0);
    expect_gone();
}

// The installed program signs. Found as a browser finds it (the key, then its manifest), and given the
// test-only winscard.dll (VELDRA_WINSCARD_DLL) beside it in this prefix only, it answers
// COMPUTE_SIGNATURE on the card in the plain reader; the signature verifies under the certificate
// it read from the card.
TEST_F(MsiThroughWine, TheInstalledHostSignsOnTheVirtualCard) {
    const std::string dll = env("VELDRA_WINSCARD_DLL");
    ASSERT_TRUE(std::filesystem::exists(dll))
        << "no test-only winscard.dll: '" << dll << "' (run scripts/windows-test)";
    install(msi_);
    const std::string manifestPath =
        unix_path(hklm_value("32", "Software\\Google\\Chrome\\NativeMessagingHosts\\" + NAME).value_or(""));
    const auto manifest = nlohmann::json::parse(read_file(manifestPath), nullptr, false);
    ASSERT_TRUE(manifest.is_object() && manifest["path"].is_string()) << manifestPath;
    const std::filesystem::path folder = std::filesystem::path(manifestPath).parent_path();
    const std::string host = folder / std::string(manifest["path"]);

    struct Beside {  // the DLL beside the installed host, and the card, for this test only
        std::filesystem::path dll;
        hosttest::InsertedCards cards;
        ~Beside() {
            std::error_code ignored;
            std::filesystem::remove(dll, ignored);
            cards.remove_all();
        }
    } beside{folder / "winscard.dll", {}};
    std::filesystem::copy_file(dll, beside.dll, std::filesystem::copy_options::overwrite_existing);
    beside.cards.insert("plain");

    HostOptions options = winetest::wine_options(host);
    options.env["WINEDLLOVERRIDES"] = "winscard=n;" + env("WINEDLLOVERRIDES");
    hosttest::TempDir home;
    options.env["HOME"] = home.path();
    const auto ask = [&](const nlohmann::json& message) {
        const HostRun run = run_host(hosttest::frame(message.dump()), options);
        EXPECT_EQ(run.exit_code, 0) << run.err;
        return nlohmann::json::parse(run.answer().value_or(""), nullptr, false);
    };
    const auto certificate =
        ask({{"cmd", "READ_FILE"}, {"reader", cardtest::PLAIN}, {"fileId", cardtest::SIGNATURE_CERT}});
    ASSERT_TRUE(certificate.is_object() && certificate.contains("data")) << certificate;
    const std::vector<uint8_t> hash = cardtest::digest("SHA256", "The installed program signs.\n");
    const auto signed_ = ask(
        {{"cmd", "COMPUTE_SIGNATURE"}, {"reader", cardtest::PLAIN}, {"hash", cardtest::to_hex(hash)}, {"pin", "1234"}});
    ASSERT_TRUE(signed_.is_object() && signed_.contains("signature")) << signed_;
    EXPECT_TRUE(cardtest::verifies(cardtest::from_hex(certificate["data"]), hash, "SHA256",
                                   cardtest::from_hex(signed_["signature"])));

    std::filesystem::remove(beside.dll);
    ASSERT_EQ(wine({"msiexec", "/x", msi_, "/qn"}).exit_code, 0);
    expect_gone();
}
