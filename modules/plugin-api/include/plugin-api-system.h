// GET_SYSTEM_INFO: the distinct vendor:product pairs of the attached USB HID devices and the
// installed versions of the driver packages of the component table.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "api_ctx.h"
#include "json.h"
#include "usb_device.h"

// The installed version of one component, or the empty text when it is not installed.
class ComponentChecker {
public:
    virtual ~ComponentChecker() = default;
    virtual std::string version() const = 0;
};

// A component found in the package database by name: the first installed program whose name
// holds displayName as a substring, letter case ignored. A missing or unreadable database means
// "not installed".
class RegistryChecker : public ComponentChecker {
public:
    static constexpr const char* DPKG_STATUS_PATH = "/var/lib/dpkg/status";

    explicit RegistryChecker(std::string displayName, std::string statusPath = DPKG_STATUS_PATH);
    std::string version() const override;

private:
    std::string displayName_;
    std::string statusPath_;
};

// One installed program: a name and its version.
struct InstalledProgram {
    std::string name;
    std::string version;
};

// The installed packages of a dpkg status file, as two lists one after the other: first every
// package under the first line of its description, then every package under its package name.
// Empty when the file cannot be read.
std::vector<InstalledProgram> installed_programs(const std::string& statusPath);

// Component key -> checker, answered in key order.
using ComponentTable = std::map<std::string, std::shared_ptr<const ComponentChecker>>;
// The process's table: "stepover" and "vasco".
const ComponentTable& component_table();

// "vvvv:p": the vendor as four lower-case hex digits, the product in lower-case hex without
// leading zeros (0x056A, 0x00A5 -> "056a:a5").
std::string vidpid_text(const WacomGSS::UsbDevice& device);

using DeviceEnumerator = std::function<void(const WacomGSS::UsbDeviceCallback&)>;

// Writes {"deviceList": [...],"packageList": [...]}, or error 20 when listing the devices fails.
void get_system_info(api_ctx* ctx, json_response* response);
// The same over other devices and components (tests).
void get_system_info(api_ctx* ctx, json_response* response, const DeviceEnumerator& enumerate,
                     const ComponentTable& components);
