// The pad SDK on Windows: its COM objects, created when a pad connection is opened.
#include "com_pad_sdk.h"
#include "wacom_sdk_device_factory.h"

namespace BioSigningDevice {

std::shared_ptr<PadSdk::ISdk> PlatformPadSdk() { return ComPadSdk::CreateSdk(); }

}  // namespace BioSigningDevice
