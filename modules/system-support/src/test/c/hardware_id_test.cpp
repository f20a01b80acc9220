#include "hardware_id.h"

#include <gtest/gtest.h>

using WacomGSS::parse_hardware_id;
using WacomGSS::parse_hid_id;
using WacomGSS::UsbDevice;

TEST(HardwareId, ParsesVendorProductRevision) {
    UsbDevice device;
    ASSERT_TRUE(parse_hardware_id(L"HID\\VID_056A&PID_00A5&REV_0100", device));
    EXPECT_EQ(device.vendorId, 0x056A);
    EXPECT_EQ(device.productId, 0x00A5);
    EXPECT_EQ(device.revision, 0x0100);
    EXPECT_FALSE(device.isInterface);
}

TEST(HardwareId, IgnoresCaseAndSeesInterfaceOfCompositeDevice) {
    UsbDevice device;
    ASSERT_TRUE(parse_hardware_id(L"hid\\vid_056a&pid_00a5&rev_0100&mi_00", device));
    EXPECT_EQ(device.vendorId, 0x056A);
    EXPECT_EQ(device.productId, 0x00A5);
    EXPECT_EQ(device.revision, 0x0100);
    EXPECT_TRUE(device.isInterface);

    // The narrow form parses the same; text after the groups that is not "&MI_" is no interface.
    UsbDevice narrow;
    ASSERT_TRUE(parse_hardware_id("HID\\VID_FFFF&PID_ffff&REV_0000&Col01", narrow));
    EXPECT_EQ(narrow.vendorId, 0xFFFF);
    EXPECT_EQ(narrow.productId, 0xFFFF);
    EXPECT_FALSE(narrow.isInterface);
}

TEST(HardwareId, RejectsOtherFormsAndLeavesDeviceAlone) {
    const char* rejected[] = {
        "HID\\VID_056A&PID_00A5",           // no revision group
        "HID\\VID_056G&PID_00A5&REV_0100",  // G in the vendor group
        "HID\\VID_056A&PID_00A5&REV_010",   // short revision
        "HID\\VID_56A&PID_000A5&REV_0100",  // digits in the wrong groups
        "HID\\VID_+56A&PID_00A5&REV_0100",  // a sign is no digit
        "USB\\VID_056A&PID_00A5&REV_0100",  // another enumerator
        "HID\\{00001124-0000-1000-8000-00805f9b34fb}_VID&0002046d_PID&b01a",
        "",
    };
    for (const char* id : rejected) {
        UsbDevice device;
        device.vendorId = 7;
        EXPECT_FALSE(parse_hardware_id(id, device)) << id;
        EXPECT_EQ(device.vendorId, 7) << id;
    }
}

TEST(HidId, AcceptsUsbDevicesOnly) {
    UsbDevice device;
    ASSERT_TRUE(parse_hid_id("0003:0000056A:000000A5", device));
    EXPECT_EQ(device.vendorId, 0x056A);
    EXPECT_EQ(device.productId, 0x00A5);

    UsbDevice other;
    EXPECT_FALSE(parse_hid_id("0005:0000046D:0000B01A", other));  // Bluetooth
    EXPECT_FALSE(parse_hid_id("0003:0001056A:000000A5", other));  // vendor beyond 16 bits
    EXPECT_FALSE(parse_hid_id("0003:0000056A:000000A", other));
    EXPECT_FALSE(parse_hid_id("0003-0000056A-000000A5", other));
    EXPECT_FALSE(parse_hid_id("0003:0000056A:000000A5 ", other));
    EXPECT_EQ(other.vendorId, 0);
}
