#include "signing_device_factory.h"

namespace BioSigningDevice {

std::vector<PadDescription> SigningDeviceFactory::Enumerate() {
    std::vector<PadDescription> pads;
    for (const auto& child : children_) {
        std::vector<PadDescription> more = child->Enumerate();
        pads.insert(pads.end(), more.begin(), more.end());
    }
    return pads;
}

std::shared_ptr<ISigningDevice> SigningDeviceFactory::CreateDevice(const std::string& name) {
    for (const auto& child : children_)
        if (auto device = child->CreateDevice(name)) return device;
    return nullptr;
}

std::shared_ptr<SigningSession> SigningDeviceFactory::OpenSession(const std::string& session) {
    for (const auto& child : children_)
        if (auto found = child->OpenSession(session)) return found;
    return nullptr;
}

}  // namespace BioSigningDevice
