// The factory the commands use: the pads of every device family, in family order.
#pragma once

#include <memory>
#include <vector>

#include "signing_device.h"

namespace BioSigningDevice {

class SigningDeviceFactory : public ISigningDeviceFactory {
public:
    explicit SigningDeviceFactory(std::vector<std::shared_ptr<ISigningDeviceFactory>> children)
        : children_(std::move(children)) {}

    // The children's lists, concatenated.
    std::vector<PadDescription> Enumerate() override;
    // The first child's non-empty answer; empty when no child knows the name.
    std::shared_ptr<ISigningDevice> CreateDevice(const std::string& name) override;
    std::shared_ptr<SigningSession> OpenSession(const std::string& session) override;

private:
    std::vector<std::shared_ptr<ISigningDeviceFactory>> children_;
};

}  // namespace BioSigningDevice
