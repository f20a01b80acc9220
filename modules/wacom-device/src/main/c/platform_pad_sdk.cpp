// The pad SDK on Linux: the on-screen pad module, opened on first use.
#include "loadable_module.h"
#include "wacom_sdk_device_factory.h"

namespace BioSigningDevice {

std::shared_ptr<PadSdk::ISdk> PlatformPadSdk() {
    static LoadableModule module(PadSdk::ONSCREEN_PAD_MODULE);
    const auto create = reinterpret_cast<PadSdk::CreateSdkFunction>(module.Symbol(PadSdk::ONSCREEN_PAD_SYMBOL));
    return create ? std::shared_ptr<PadSdk::ISdk>(create()) : nullptr;
}

}  // namespace BioSigningDevice
