// The present HID interfaces through SetupAPI: HidD_GetHidGuid, SetupDiGetClassDevsExW, then per
// interface its device path and its first hardware identifier, parsed by parse_hardware_id.
#include <windows.h>
#include <setupapi.h>
extern "C" {
#include <hidsdi.h>  // mingw-w64's header declares the HID functions without C linkage
}

#include <memory>
#include <system_error>
#include <vector>

#include "hardware_id.h"
#include "usb_device.h"
#include "win32api_error.h"

namespace WacomGSS {

namespace {

struct DeviceInfoSet {
    HDEVINFO set;
    ~DeviceInfoSet() { SetupDiDestroyDeviceInfoList(set); }
};

std::string utf8_of(const wchar_t* text) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 1) return {};
    std::string narrow(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, narrow.data(), size, nullptr, nullptr);
    narrow.resize(static_cast<size_t>(size - 1));
    return narrow;
}

// The interface's device path and its device information; false when either cannot be read.
bool interface_detail(HDEVINFO set, SP_DEVICE_INTERFACE_DATA& data, std::wstring& path, SP_DEVINFO_DATA& info) {
    DWORD size = 0;
    if (!SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &size, nullptr) &&
        GetLastError() != ERROR_INSUFFICIENT_BUFFER)
        return false;
    if (size < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) return false;
    std::vector<uint8_t> buffer(size);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    info = SP_DEVINFO_DATA{};
    info.cbSize = sizeof info;
    if (!SetupDiGetDeviceInterfaceDetailW(set, &data, detail, size, nullptr, &info)) return false;
    path = detail->DevicePath;
    return true;
}

// The first string of the device's hardware identifier list; false when it cannot be read.
bool hardware_id(HDEVINFO set, SP_DEVINFO_DATA& info, std::wstring& id) {
    DWORD size = 0;
    if (!SetupDiGetDeviceRegistryPropertyW(set, &info, SPDRP_HARDWAREID, nullptr, nullptr, 0, &size) &&
        GetLastError() != ERROR_INSUFFICIENT_BUFFER)
        return false;
    if (size == 0) return false;
    // Twice the size asked for, zeroed: the list is read as a string even if it arrives unterminated.
    std::vector<wchar_t> buffer(size + 2, L'\0');
    if (!SetupDiGetDeviceRegistryPropertyW(set, &info, SPDRP_HARDWAREID, nullptr,
                                           reinterpret_cast<BYTE*>(buffer.data()), size, nullptr))
        return false;
    id = buffer.data();
    return true;
}

}  // namespace

void enumerate(const UsbDeviceCallback& callback) {
    GUID hidGuid;
    HidD_GetHidGuid(&hidGuid);
    const HDEVINFO raw = SetupDiGetClassDevsExW(&hidGuid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE,
                                                nullptr, nullptr, nullptr);
    // The set query's failure is told by the category's message alone (no function name before it).
    if (raw == INVALID_HANDLE_VALUE)
        throw std::system_error(static_cast<int>(GetLastError()), Win32::win32api_error_category());
    DeviceInfoSet set{raw};
    for (DWORD index = 0;; ++index) {
        SP_DEVICE_INTERFACE_DATA data{};
        data.cbSize = sizeof data;
        if (!SetupDiEnumDeviceInterfaces(set.set, nullptr, &hidGuid, index, &data)) {
            const DWORD error = GetLastError();
            if (error == ERROR_NO_MORE_ITEMS) return;
            throw Win32::win32api_error(static_cast<int>(error), "SetupDiEnumDeviceInterfaces");
        }
        std::wstring path, id;
        SP_DEVINFO_DATA info{};
        if (!interface_detail(set.set, data, path, info) || !hardware_id(set.set, info, id)) continue;
        UsbDevice device;
        if (!parse_hardware_id(std::wstring_view(id), device)) continue;
        device.devicePath = utf8_of(path.c_str());
        device.deviceInstance = static_cast<uint32_t>(info.DevInst);
        if (!callback(device)) return;
    }
}

}  // namespace WacomGSS
