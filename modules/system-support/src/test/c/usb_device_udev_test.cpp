// The libudev enumeration against fake sysfs trees, seen by a child process as /sys.
#include <algorithm>
#include <cstdio>
#include <set>
#include <sstream>
#include <string>
#include <system_error>

#include <gtest/gtest.h>

#include "sysfs_fixture.h"
#include "usb_device.h"

namespace {

// One line per record: "vvvv:pppp rev=rrrr mi=0|1 path=... instance=n".
std::string list_devices(int stopAfter = -1) {
    std::ostringstream out;
    int seen = 0;
    WacomGSS::enumerate([&](WacomGSS::UsbDevice& device) {
        char ids[64];
        std::snprintf(ids, sizeof ids, "%04x:%04x rev=%04x mi=%d", device.vendorId, device.productId, device.revision,
                      device.isInterface ? 1 : 0);
        out << ids << " path=" << device.devicePath << " instance=" << device.deviceInstance << "\n";
        return ++seen != stopAfter;
    });
    return out.str();
}

class UsbDeviceUdev : public ::testing::Test {
protected:
    void SetUp() override {
        if (!sysfstest::mount_namespaces_available()) GTEST_SKIP() << "no private mount namespace here";
    }

    std::string run(int stopAfter = -1) {
        const auto result =
            sysfstest::run_with_binds({{fixture.root(), "/sys"}}, [stopAfter] { return list_devices(stopAfter); });
        EXPECT_TRUE(result.ok);
        return result.output;
    }

    sysfstest::SysfsFixture fixture;
};

}  // namespace

TEST_F(UsbDeviceUdev, NoHidDevicesGiveNoCallback) { EXPECT_EQ(run(), ""); }

TEST_F(UsbDeviceUdev, ReportsEveryUsbHidInterfaceWithItsParentsData) {
    fixture.add_usb_hid(0x056A, 0x00A5, 0x0100, 1);
    const auto composite = fixture.add_usb_hid(0x046D, 0xC52B, 0x1211, 2, false);
    const std::string expected =
        "056a:00a5 rev=0100 mi=0 path=/dev/hidraw0 instance=" + std::to_string((240u << 20) | 0) + "\n" +
        "046d:c52b rev=1211 mi=1 path=" + composite[0] + " instance=0\n" +
        "046d:c52b rev=1211 mi=1 path=" + composite[1] + " instance=0\n";
    std::string listed = run();
    // The listing order is the system's; compare as sorted lines.
    auto sorted = [](const std::string& text) {
        std::istringstream in(text);
        std::multiset<std::string> lines;
        for (std::string line; std::getline(in, line);) lines.insert(line);
        return lines;
    };
    EXPECT_EQ(sorted(listed), sorted(expected));
}

TEST_F(UsbDeviceUdev, SkipsHidDevicesOffUsbAndKeepsUsbClaimsWithoutParent) {
    fixture.add_other_hid("0005:0000046D:0000B01A");  // Bluetooth
    fixture.add_other_hid("0018:000004F3:00002B6F");  // I2C
    fixture.add_other_hid("0003:00001234:00005678");  // a virtual device on the USB bus
    EXPECT_EQ(run(), "1234:5678 rev=0000 mi=0 path=/dev/hidraw2 instance=" + std::to_string((240u << 20) | 2) + "\n");
}

TEST_F(UsbDeviceUdev, StopsWhenTheCallbackSaysSo) {
    fixture.add_usb_hid(0x0001, 0x0002, 0x0100, 3);
    const std::string listed = run(1);
    EXPECT_EQ(std::count(listed.begin(), listed.end(), '\n'), 1) << listed;
}

TEST_F(UsbDeviceUdev, ListingFailureIsASystemErrorOfItsCategory) {
    fixture.add_usb_hid(0x0001, 0x0002, 0x0100, 1);
    fixture.break_hid_listing();
    const auto result = sysfstest::run_with_binds({{fixture.root(), "/sys"}}, [] {
        try {
            list_devices();
        } catch (const std::system_error& e) {
            return std::string(e.code().category().name()) + " " + e.what();
        }
        return std::string("no error");
    });
    EXPECT_TRUE(result.ok);
    EXPECT_EQ(result.output, "win32api udev_enumerate_scan_devices: Not a directory");
}
