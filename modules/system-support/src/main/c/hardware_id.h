// Parsers of the texts that identify a HID device: the Windows hardware identifier and the
// kernel's HID_ID property.
#pragma once

#include <string_view>

#include "usb_device.h"

namespace WacomGSS {

// "HID\VID_vvvv&PID_pppp&REV_rrrr", optionally followed by "&MI_" (one interface of a composite
// device) and anything else; letter case does not matter, each group is exactly four hex digits.
// Sets vendorId, productId, revision and isInterface; false (device untouched) when id has another form.
bool parse_hardware_id(std::wstring_view id, UsbDevice& device);
bool parse_hardware_id(std::string_view id, UsbDevice& device);

// The kernel's "BBBB:VVVVVVVV:PPPPPPPP" (bus, vendor, product in hex). Sets vendorId and productId
// and returns true only for a USB device (bus 0003) whose ids fit in 16 bits.
bool parse_hid_id(std::string_view id, UsbDevice& device);

}  // namespace WacomGSS
