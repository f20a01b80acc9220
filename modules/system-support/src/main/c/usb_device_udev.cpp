// USB HID interfaces through libudev: every device of the "hid" subsystem on the USB bus, its ids
// from the kernel's HID_ID property, revision and interface flag from its USB parents.
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <string_view>

#include <libudev.h>
#include <sys/sysmacros.h>

#include "hardware_id.h"
#include "usb_device.h"
#include "win32api_error.h"

namespace WacomGSS {

namespace {

struct UdevDeleter {
    void operator()(udev* handle) const noexcept { udev_unref(handle); }
    void operator()(udev_enumerate* handle) const noexcept { udev_enumerate_unref(handle); }
    void operator()(udev_device* handle) const noexcept { udev_device_unref(handle); }
};
using UdevPtr = std::unique_ptr<udev, UdevDeleter>;
using EnumeratePtr = std::unique_ptr<udev_enumerate, UdevDeleter>;
using DevicePtr = std::unique_ptr<udev_device, UdevDeleter>;

// libudev reports failures as negative errno values, or as null with errno set.
int error_number(int result) { return result < 0 ? -result : (errno ? errno : ENOMEM); }

std::string_view attribute(udev_device* device, const char* name) {
    const char* value = device ? udev_device_get_sysattr_value(device, name) : nullptr;
    return value ? std::string_view(value) : std::string_view();
}

// A sysfs number attribute (bcdDevice is hex, bNumInterfaces decimal with a leading blank).
long number(std::string_view text, int base) {
    const std::string copy(text);
    char* end = nullptr;
    const long value = std::strtol(copy.c_str(), &end, base);
    return (end == copy.c_str()) ? -1 : value;
}

// The first hidraw node below the HID device: its path and number; false when it has none.
bool find_hidraw(udev* context, udev_device* hid, UsbDevice& record) {
    EnumeratePtr children(udev_enumerate_new(context));
    if (!children || udev_enumerate_add_match_parent(children.get(), hid) < 0 ||
        udev_enumerate_add_match_subsystem(children.get(), "hidraw") < 0 ||
        udev_enumerate_scan_devices(children.get()) < 0)
        return false;
    udev_list_entry* entry = nullptr;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(children.get())) {
        DevicePtr node(udev_device_new_from_syspath(context, udev_list_entry_get_name(entry)));
        const char* devnode = node ? udev_device_get_devnode(node.get()) : nullptr;
        if (!devnode) continue;
        const dev_t number = udev_device_get_devnum(node.get());
        record.devicePath = devnode;
        record.deviceInstance = (major(number) << 20) | (minor(number) & 0xFFFFF);
        return true;
    }
    return false;
}

// The record of one HID device; false when it is not a USB HID device.
bool describe(udev* context, udev_device* hid, UsbDevice& record) {
    const char* hidId = udev_device_get_property_value(hid, "HID_ID");
    if (!hidId || !parse_hid_id(hidId, record)) return false;
    udev_device* usbDevice = udev_device_get_parent_with_subsystem_devtype(hid, "usb", "usb_device");
    const long revision = number(attribute(usbDevice, "bcdDevice"), 16);
    record.revision = revision > 0 ? static_cast<uint16_t>(revision) : 0;
    record.isInterface = number(attribute(usbDevice, "bNumInterfaces"), 10) > 1;
    if (!find_hidraw(context, hid, record)) record.devicePath = udev_device_get_syspath(hid);
    return true;
}

}  // namespace

void enumerate(const UsbDeviceCallback& callback) {
    errno = 0;
    UdevPtr context(udev_new());
    if (!context) throw Win32::win32api_error(error_number(0), "udev_new");
    EnumeratePtr devices(udev_enumerate_new(context.get()));
    if (!devices) throw Win32::win32api_error(error_number(0), "udev_enumerate_new");
    int result = udev_enumerate_add_match_subsystem(devices.get(), "hid");
    if (result >= 0) result = udev_enumerate_scan_devices(devices.get());
    if (result < 0) throw Win32::win32api_error(error_number(result), "udev_enumerate_scan_devices");

    udev_list_entry* entry = nullptr;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(devices.get())) {
        // A device that went away since the scan, or cannot be read, is skipped.
        DevicePtr hid(udev_device_new_from_syspath(context.get(), udev_list_entry_get_name(entry)));
        UsbDevice record;
        if (!hid || !describe(context.get(), hid.get(), record)) continue;
        if (!callback(record)) return;
    }
}

}  // namespace WacomGSS
