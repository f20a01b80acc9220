// The pad family driven through the pad SDK: at most one pad, called "Wacom".
#pragma once

#include "signing_device.h"
#include "signing_device_factory.h"
#include "wacom_sdk_device.h"

namespace BioSigningDevice {

class WacomSDKDeviceFactory : public ISigningDeviceFactory {
public:
    explicit WacomSDKDeviceFactory(WacomSDKDevice::SdkProvider sdk);

    // The connected pad, or nothing; pad trouble is not an error here.
    std::vector<PadDescription> Enumerate() override;
    // The pad when its name is exactly name; empty otherwise and on any pad trouble.
    std::shared_ptr<ISigningDevice> CreateDevice(const std::string& name) override;
    // This family keeps no signing sessions.
    std::shared_ptr<SigningSession> OpenSession(const std::string&) override { return nullptr; }

private:
    WacomSDKDevice::SdkProvider sdk_;
};

// The SDK of this platform: on Linux the on-screen pad, loaded on first use, null when it cannot be
// loaded (no GTK on the machine); on Windows the SDK's COM objects, whose absence shows when they
// are created.
std::shared_ptr<PadSdk::ISdk> PlatformPadSdk();

// The factory the commands use, with every device family of this build.
std::shared_ptr<SigningDeviceFactory> CreateSigningDeviceFactory();

}  // namespace BioSigningDevice
