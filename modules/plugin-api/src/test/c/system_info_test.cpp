// GET_SYSTEM_INFO's answer over given devices and package databases.
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "plugin-api-system.h"
#include "win32api_error.h"

namespace {

using WacomGSS::UsbDevice;

UsbDevice device(uint16_t vendor, uint16_t product) {
    UsbDevice d;
    d.vendorId = vendor;
    d.productId = product;
    return d;
}

// A dpkg status file in a temporary folder, removed with the object.
class StatusFile {
public:
    explicit StatusFile(const std::string& text) {
        std::string pattern = (std::filesystem::temp_directory_path() / "veldra-dpkg-XXXXXX").string();
        if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
        folder_ = pattern;
        std::ofstream(path()) << text;
    }
    ~StatusFile() {
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }
    std::string path() const { return folder_ + "/status"; }

private:
    std::string folder_;
};

std::string package(const std::string& name, const std::string& version, const std::string& description,
                    const std::string& status = "install ok installed") {
    return "Package: " + name + "\nStatus: " + status + "\nPriority: optional\nVersion: " + version +
           "\nDescription: " + description + "\n more text on a continuation line\n .\n Package: not-a-field\n\n";
}

struct Answer {
    std::string text;
    int32_t timeoutSeconds = 0;
};

Answer answer(const std::vector<UsbDevice>& devices, const ComponentTable& components) {
    Watcher watcher;
    api_ctx ctx;
    ctx.watcher = &watcher;
    json_response* response = json_response_new();
    get_system_info(
        &ctx, response,
        [&devices](const WacomGSS::UsbDeviceCallback& callback) {
            for (UsbDevice d : devices)
                if (!callback(d)) return;
        },
        components);
    char* text = json_response_release(response);
    Answer result{text, static_cast<int32_t>(watcher.timeout.load() / 1000000000LL)};
    std::free(text);
    return result;
}

ComponentTable table_over(const std::string& statusPath) {
    return {{"stepover", std::make_shared<RegistryChecker>("StepOver Signature Device Driver", statusPath)},
            {"vasco", std::make_shared<RegistryChecker>("VASCO DIGIPASS Secure Card Reader Driver", statusPath)}};
}

std::string answer_for_failure(const std::function<void()>& fail) {
    json_response* response = json_response_new();
    get_system_info(
        nullptr, response, [&fail](const WacomGSS::UsbDeviceCallback&) { fail(); }, component_table());
    char* text = json_response_release(response);
    std::string result = text;
    std::free(text);
    return result;
}

struct Unnamed : std::exception {
    const char* what() const noexcept override { return ""; }
};

}  // namespace

TEST(SystemInfoVidpid, VendorPaddedProductBare) {
    EXPECT_EQ(vidpid_text(device(0x056A, 0x00A5)), "056a:a5");
    EXPECT_EQ(vidpid_text(device(0x0001, 0x0002)), "0001:2");
    EXPECT_EQ(vidpid_text(device(0x056A, 0x1234)), "056a:1234");
    EXPECT_EQ(vidpid_text(device(0x0000, 0x0000)), "0000:0");
    EXPECT_EQ(vidpid_text(device(0xFFFF, 0xFFFF)), "ffff:ffff");
}

TEST(SystemInfoAnswer, HasTheExactFormWithOneDeviceAndNoPackages) {
    const StatusFile status(package("libfoo", "1.0", "A library"));
    const Answer result = answer({device(0x056A, 0x00A5)}, table_over(status.path()));
    EXPECT_EQ(result.text,
              "{\"deviceList\": [{\"index\":0,\"vidpid\":\"056a:a5\"}],\"packageList\": "
              "[{\"index\":0,\"component\":\"stepover\",\"version\":\"\"},"
              "{\"index\":1,\"component\":\"vasco\",\"version\":\"\"}]}");
    EXPECT_EQ(result.timeoutSeconds, 60);
}

TEST(SystemInfoAnswer, DevicesAreDistinctAndSortedAndNoDeviceGivesAnEmptyArray) {
    const Answer many = answer({device(0x1234, 0x1234), device(0x056A, 0x00A5), device(0x056A, 0x00A5),
                                device(0x0001, 0x0002), device(0x056A, 0x00A5)},
                               component_table());
    const auto parsed = nlohmann::json::parse(many.text);
    ASSERT_EQ(parsed["deviceList"].size(), 3u);
    const char* expected[] = {"0001:2", "056a:a5", "1234:1234"};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(parsed["deviceList"][i]["index"], i);
        EXPECT_EQ(parsed["deviceList"][i]["vidpid"], expected[i]);
    }

    const Answer none = answer({}, component_table());
    EXPECT_EQ(none.text.rfind("{\"deviceList\": [],\"packageList\": [{", 0), 0u) << none.text;
}

TEST(SystemInfoAnswer, StaysValidJsonWhateverTheVersionHolds) {
    const std::string version = "1.0\"beta\\2\t";
    const StatusFile status(package("vasco-driver", version, "VASCO DIGIPASS Secure Card Reader Driver"));
    const Answer result = answer({}, table_over(status.path()));
    const auto parsed = nlohmann::json::parse(result.text);
    EXPECT_EQ(parsed["packageList"][1]["component"], "vasco");
    EXPECT_EQ(parsed["packageList"][1]["version"], "1.0\"beta\\2");  // trailing blanks are no part of it
    EXPECT_EQ(parsed["packageList"][0]["version"], "");
}

TEST(SystemInfoAnswer, ListingFailureAnswersError20WithItsText) {
    EXPECT_EQ(answer_for_failure([] { throw WacomGSS::Win32::win32api_error(EACCES, "udev_enumerate_scan_devices"); }),
              "{\"error\": { \"code\":20,\"id\":20,\"message\":\"Listing devices failed "
              "(udev_enumerate_scan_devices: Permission denied)\"}}\n");
    EXPECT_EQ(answer_for_failure([] { throw 42; }),
              "{\"error\": { \"code\":20,\"id\":20,\"message\":\"Listing devices failed (unknown exception)\"}}\n");
    const std::string unnamed = answer_for_failure([] { throw Unnamed(); });
    EXPECT_NE(unnamed.find("Listing devices failed ("), std::string::npos) << unnamed;
    EXPECT_NE(unnamed.find("Unnamed)"), std::string::npos) << unnamed;
    // A quote in the text does not break the answer.
    const std::string quoted = answer_for_failure([] { throw std::runtime_error("bad \"thing\""); });
    EXPECT_TRUE(nlohmann::json::accept(quoted)) << quoted;
}

TEST(SystemInfoPackages, ListsInstalledPackagesByDescriptionThenByName) {
    const StatusFile status(
        package("alpha", "1:2.0-1", "Alpha tool") + package("beta", "3.1", "Beta tool", "deinstall ok config-files") +
        package("gamma", "0.9", "Gamma tool", "install ok half-installed") +
        package("delta", "4.0", "Delta tool", "install ok triggers-pending") +
        package("zeta", "6", std::string(1500, 'z')) +                    // a line longer than one read
        "Package: epsilon\nStatus: install ok installed\nVersion: 5\n");  // no description, no final blank line
    const auto programs = installed_programs(status.path());
    std::vector<std::pair<std::string, std::string>> listed;
    for (const auto& p : programs) listed.emplace_back(p.name, p.version);
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"Alpha tool", "1:2.0-1"}, {"Delta tool", "4.0"}, {std::string(1500, 'z'), "6"},
        {"alpha", "1:2.0-1"},      {"delta", "4.0"},      {"zeta", "6"},
        {"epsilon", "5"}};
    EXPECT_EQ(listed, expected);
}

TEST(SystemInfoPackages, MatchesASubstringInAnyLetterCaseAndTheFirstSourceWins) {
    const StatusFile status(package("stepover signature device driver", "9.9", "Something else") +
                            package("vasco-drv", "1.2.3", "vasco digipass SECURE card reader driver (x64)") +
                            package("stepover-drv", "2.0", "The StepOver Signature Device Driver for pads") +
                            package("vasco-old", "0.1", "VASCO DIGIPASS Secure Card Reader Driver (x86)"));
    EXPECT_EQ(RegistryChecker("VASCO DIGIPASS Secure Card Reader Driver", status.path()).version(), "1.2.3");
    // The description of stepover-drv comes before the package name of the first package.
    EXPECT_EQ(RegistryChecker("StepOver Signature Device Driver", status.path()).version(), "2.0");
    EXPECT_EQ(RegistryChecker("Not There", status.path()).version(), "");
}

TEST(SystemInfoPackages, MissingOrUnreadableDatabaseMeansNotInstalled) {
    EXPECT_EQ(RegistryChecker("VASCO DIGIPASS Secure Card Reader Driver", "/nonexistent/status").version(), "");
    EXPECT_TRUE(installed_programs("/").empty());  // a folder, not a file
    const Answer result = answer({}, table_over("/nonexistent/status"));
    EXPECT_NE(result.text.find("\"packageList\": [{\"index\":0,\"component\":\"stepover\",\"version\":\"\"},"
                               "{\"index\":1,\"component\":\"vasco\",\"version\":\"\"}]}"),
              std::string::npos)
        << result.text;
}

TEST(SystemInfoPackages, ProcessTableHoldsTheTwoComponentsInKeyOrder) {
    const ComponentTable& table = component_table();
    ASSERT_EQ(table.size(), 2u);
    EXPECT_EQ(table.begin()->first, "stepover");
    EXPECT_EQ(std::next(table.begin())->first, "vasco");
}
