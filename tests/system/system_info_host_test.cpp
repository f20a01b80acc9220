// GET_SYSTEM_INFO and the pad commands through the built host.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "host_process.h"
#include "sysfs_fixture.h"

using hosttest::HostOptions;
using hosttest::request;
using hosttest::TempDir;

namespace {

// The vendor:product texts of the USB HID devices in a sysfs tree, read from the kernel's HID_ID
// lines of /sys/bus/hid/devices/*/uevent.
std::set<std::string> usb_hid_vidpids(const std::string& sysfs) {
    std::set<std::string> vidpids;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(sysfs + "/bus/hid/devices", error)) {
        std::ifstream uevent(entry.path() / "uevent");
        for (std::string line; std::getline(uevent, line);) {
            unsigned bus = 0, vendor = 0, product = 0;
            if (std::sscanf(line.c_str(), "HID_ID=%x:%x:%x", &bus, &vendor, &product) == 3 && bus == 3) {
                char text[32];
                std::snprintf(text, sizeof text, "%04x:%x", vendor, product);
                vidpids.insert(text);
            }
        }
    }
    return vidpids;
}

class SystemHost : public hosttest::PrivateHomeTest {
protected:
    // The host seeing the given folders and files in place of the machine's (/sys, dpkg's status).
    HostOptions seeing(const std::vector<std::pair<std::string, std::string>>& binds) const {
        HostOptions o = options();
        const auto [program, args] = sysfstest::bind_command(binds, hosttest::host_path());
        o.program = program;
        o.args = args;
        o.env["LD_PRELOAD"] = VELDRA_FAKE_SYSFS;
        return o;
    }
};

}  // namespace

TEST_F(SystemHost, ListsTheDevicesThisMachineShows) {
    const auto run = request(R"({"cmd":"GET_SYSTEM_INFO"})", options());
    EXPECT_EQ(run.exit_code, 0);
    const std::string answer = run.answer().value_or("");
    ASSERT_TRUE(nlohmann::json::accept(answer)) << answer;
    EXPECT_EQ(answer.rfind("{\"deviceList\": [", 0), 0u) << answer;
    EXPECT_NE(answer.find("],\"packageList\": [{\"index\":0,\"component\":\"stepover\",\"version\":\""),
              std::string::npos)
        << answer;

    const auto parsed = nlohmann::json::parse(answer);
    std::set<std::string> listed;
    int index = 0;
    for (const auto& device : parsed["deviceList"]) {
        EXPECT_EQ(device["index"], index++);
        listed.insert(device["vidpid"].get<std::string>());
    }
    EXPECT_EQ(listed.size(), parsed["deviceList"].size()) << "duplicates in " << answer;
    EXPECT_EQ(listed, usb_hid_vidpids("/sys"));
    ASSERT_EQ(parsed["packageList"].size(), 2u);
    EXPECT_EQ(parsed["packageList"][1]["index"], 1);
    EXPECT_EQ(parsed["packageList"][1]["component"], "vasco");
}

TEST_F(SystemHost, AnswersForFixtureDevicesAndPackages) {
    if (!sysfstest::mount_namespaces_available()) GTEST_SKIP() << "no private mount namespace here";
    sysfstest::SysfsFixture sysfs;
    sysfs.add_usb_hid(0x056A, 0x00A5, 0x0100, 2);  // two interfaces: one entry
    sysfs.add_usb_hid(0x0001, 0x0002, 0x0001, 1);
    sysfs.add_other_hid("0005:0000046D:0000B01A");  // Bluetooth: not listed
    sysfs.add_other_hid("0003:00001234:00005678");  // a virtual device on the USB bus
    const std::string status = home_.path() + "/status";
    std::ofstream(status) << "Package: vasco-reader\nStatus: install ok installed\nVersion: 3.1\"q\n"
                             "Description: vasco digipass secure card reader driver (x64)\n long text\n\n"
                             "Package: stepover\nStatus: deinstall ok config-files\nVersion: 1.0\n"
                             "Description: StepOver Signature Device Driver\n";

    const auto run =
        request(R"({"cmd":"GET_SYSTEM_INFO"})", seeing({{sysfs.root(), "/sys"}, {status, "/var/lib/dpkg/status"}}));
    EXPECT_EQ(run.exit_code, 0) << run.err;
    const std::string answer = run.answer().value_or("");
    EXPECT_EQ(answer,
              "{\"deviceList\": [{\"index\":0,\"vidpid\":\"0001:2\"},{\"index\":1,\"vidpid\":\"056a:a5\"},"
              "{\"index\":2,\"vidpid\":\"1234:5678\"}],\"packageList\": "
              "[{\"index\":0,\"component\":\"stepover\",\"version\":\"\"},"
              "{\"index\":1,\"component\":\"vasco\",\"version\":\"3.1\\\"q\"}]}")
        << run.err;
    EXPECT_TRUE(nlohmann::json::accept(answer));
}

// Whatever the inventory holds, the answer stays one a browser takes (at most 1 MiB): the devices
// looked at, a line of the package database and a version text are bounded.
TEST_F(SystemHost, AHostileInventoryGivesAnAnswerABrowserTakes) {
    if (!sysfstest::mount_namespaces_available()) GTEST_SKIP() << "no private mount namespace here";
    sysfstest::SysfsFixture sysfs;
    for (uint16_t i = 0; i < 1100; ++i) sysfs.add_usb_hid(0x1000, i, 0x0100, 1, false);
    const std::string status = home_.path() + "/status";
    {
        std::ofstream out(status);
        out << "Package: vasco-reader\nStatus: install ok installed\nVersion: " << std::string(2 << 20, '7')
            << "\nDescription: VASCO DIGIPASS Secure Card Reader Driver\n\n"
            << "Package: stepover\nStatus: install ok installed\nVersion: 1.0\nDescription: StepOver Signature "
            << "Device Driver" << std::string(3 << 20, 'x') << "\n";
    }
    const auto run =
        request(R"({"cmd":"GET_SYSTEM_INFO"})", seeing({{sysfs.root(), "/sys"}, {status, "/var/lib/dpkg/status"}}));
    const std::string answer = run.answer().value_or("");
    ASSERT_TRUE(nlohmann::json::accept(answer)) << run.err;
    EXPECT_LT(answer.size(), 1u << 20);
    const auto parsed = nlohmann::json::parse(answer);
    EXPECT_EQ(parsed["deviceList"].size(), 1024u);
    EXPECT_EQ(parsed["packageList"][0]["version"], "");  // its description line was too long to take
    EXPECT_EQ(parsed["packageList"][1]["version"], "");  // a version of 2 MB is none
}

TEST_F(SystemHost, ListingFailureAnswersError20) {
    if (!sysfstest::mount_namespaces_available()) GTEST_SKIP() << "no private mount namespace here";
    sysfstest::SysfsFixture sysfs;
    sysfs.break_hid_listing();
    const auto run = request(R"({"cmd":"GET_SYSTEM_INFO"})", seeing({{sysfs.root(), "/sys"}}));
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(run.answer().value_or(""),
              "{\"error\": { \"code\":20,\"id\":20,\"message\":\"Listing devices failed "
              "(udev_enumerate_scan_devices: Not a directory)\"}}\n")
        << run.err;
}

TEST_F(SystemHost, PadCommandsWithoutAPadAnswerAtOnce) {
    auto run = request(R"({"cmd":"GET_PADS"})", options());
    EXPECT_EQ(run.answer().value_or(""), "{\"padList\": []}");
    EXPECT_LT(run.elapsed.count(), 9000);  // long before any time limit
    run = request(R"({"cmd":"COMPUTE_SIGNATURE_IMAGE","pad":"Wacom","hash":"0aFF"})", options());
    EXPECT_EQ(run.answer().value_or(""),
              "{\"error\": { \"code\":21,\"id\":21,\"message\":\"Signature pad [Wacom] not found\"}}\n");
}
