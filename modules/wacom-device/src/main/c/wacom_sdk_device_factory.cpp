#include "wacom_sdk_device_factory.h"

#include <cstdio>
#include <string>

#include "com.h"
#include "log.h"
#include "signing_device_factory.h"

namespace BioSigningDevice {

namespace {

// The text of the exception being handled, for the log.
std::string current_failure() {
    try {
        throw;
    } catch (const std::exception& e) {
        return e.what();
    } catch (const ComError& e) {
        char text[32];
        std::snprintf(text, sizeof text, "COM error 0x%08x", static_cast<unsigned>(e.Error()));
        return text;
    } catch (...) {
        return "unknown exception";
    }
}

}  // namespace

WacomSDKDeviceFactory::WacomSDKDeviceFactory(WacomSDKDevice::SdkProvider sdk) : sdk_(std::move(sdk)) {}

std::vector<PadDescription> WacomSDKDeviceFactory::Enumerate() {
    ComInit com;
    try {
        return {WacomSDKDevice("", sdk_).GetDescription()};
    } catch (...) {
        LOG_DEBUG("No pad: %s", current_failure().c_str());
    }
    return {};
}

std::shared_ptr<ISigningDevice> WacomSDKDeviceFactory::CreateDevice(const std::string& name) {
    ComInit com;
    try {
        auto device = std::make_shared<WacomSDKDevice>("", sdk_);
        if (device->GetDescription().name == name) return device;
    } catch (...) {
        LOG_DEBUG("Pad [%s] could not be opened: %s", name.c_str(), current_failure().c_str());
    }
    return nullptr;
}

std::shared_ptr<SigningDeviceFactory> CreateSigningDeviceFactory() {
    return std::make_shared<SigningDeviceFactory>(
        std::vector<std::shared_ptr<ISigningDeviceFactory>>{std::make_shared<WacomSDKDeviceFactory>(&PlatformPadSdk)});
}

}  // namespace BioSigningDevice
