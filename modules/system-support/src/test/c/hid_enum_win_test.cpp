// HID enumeration through SetupAPI as this machine (or Wine, which has virtual HID devices of its
// own) lists it: the form of every record, not a count.
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "usb_device.h"

using WacomGSS::UsbDevice;

TEST(HidEnumWin, EveryRecordHasAnInterfacePathAndParsedIds) {
    int calls = 0;
    std::set<std::string> paths;
    WacomGSS::enumerate([&](UsbDevice& device) {
        ++calls;
        EXPECT_EQ(device.devicePath.rfind("\\\\?\\", 0), 0u) << device.devicePath;
        EXPECT_NE(device.devicePath.find("hid#"), std::string::npos) << device.devicePath;
        EXPECT_TRUE(device.vendorId != 0 || device.productId != 0) << device.devicePath;
        EXPECT_NE(device.deviceInstance, 0u);
        EXPECT_TRUE(paths.insert(device.devicePath).second) << "listed twice: " << device.devicePath;
        return true;
    });
    RecordProperty("devices", calls);
    // Wine's two virtual HID devices have no "&REV_" group in their hardware identifier, so none is
    // listed there: the test then checked nothing, and says so.
    if (calls == 0) GTEST_SKIP() << "no HID interface with a VID, PID and REV identifier here: nothing was checked";
}

TEST(HidEnumWin, FalseFromTheCallbackStopsTheListing) {
    int all = 0;
    WacomGSS::enumerate([&](UsbDevice&) { return ++all, true; });
    if (all < 2) GTEST_SKIP() << "fewer than two HID interfaces here";
    int calls = 0;
    WacomGSS::enumerate([&](UsbDevice&) { return ++calls, false; });
    EXPECT_EQ(calls, 1);
}
