// The attached USB human-interface devices: one record per present HID interface.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace WacomGSS {

struct UsbDevice {
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    uint16_t revision = 0;        // the device release number (bcdDevice)
    bool isInterface = false;     // one interface of a composite device
    std::string devicePath;       // the hidraw node, or the sysfs path when the interface has none
    uint32_t deviceInstance = 0;  // the hidraw node's device number (major << 20 | minor), 0 without one
};

// Gets every record by reference; true continues the enumeration, false stops it.
using UsbDeviceCallback = std::function<bool(UsbDevice&)>;

// Calls callback once per present USB HID interface, in the system's listing order. No device means
// no call and no error. A failure of the listing itself throws std::system_error in the "win32api"
// category; a device whose identification cannot be read is skipped.
void enumerate(const UsbDeviceCallback& callback);

}  // namespace WacomGSS
