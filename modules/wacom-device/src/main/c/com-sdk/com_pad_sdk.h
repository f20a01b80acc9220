// The pad SDK over its COM automation objects (Windows): the signature control, the wizard control
// and the hash object are created by class identifier (CoCreateInstance, OleRun, QueryInterface)
// and called through the vtable slots of the operations the family uses.
#pragma once

#include <memory>

#include "pad_sdk.h"

namespace ComPadSdk {

// Class identifiers. The interfaces asked of the signature control, the hash object and the
// signature object are those their failures are reported under (PadSdk::IID_SIGCTL, IID_HASH,
// IID_SIGOBJ); the wizard's is not.
constexpr const char* CLSID_SIGCTL = "{963B1D81-38B8-492E-ACBE-74801D009E9E}";
constexpr const char* CLSID_WIZCTL = "{7AA34BD8-C52E-4F8B-A890-B478A209071E}";
constexpr const char* IID_WIZCTL = "{B8DE88A3-43EE-4122-A136-96D8C2B481CF}";
constexpr const char* CLSID_HASH = "{CD3F0EA4-1CE9-4935-A4F8-71D85DEA2566}";

// Class context of every creation: in-process server and handler, local and remote server.
constexpr unsigned long CREATE_CONTEXT = 0x17;

// The operations by slot, counted from the first IUnknown slot (IDispatch ends at 6).
namespace Slot {
constexpr int SIGCTL_SIGNATURE = 30;  // out IDispatch*
constexpr int WIZ_FONT = 18;          // IFontDisp*
constexpr int WIZ_PAD_WIDTH = 23;     // out short
constexpr int WIZ_PAD_HEIGHT = 25;    // out short
constexpr int WIZ_CONNECT = 29;       // out VARIANT_BOOL
constexpr int WIZ_DISCONNECT = 30;
constexpr int WIZ_RESET = 31;
constexpr int WIZ_ADD_OBJECT = 32;  // long type, BSTR id, VARIANT x, y, data, options
constexpr int WIZ_EVENTS = 35;      // IDispatch* sink or null
constexpr int WIZ_DISPLAY = 36;
constexpr int HASH_TYPE = 8;      // long
constexpr int HASH_VALUE = 10;    // VARIANT byte array
constexpr int SIG_DATA = 7;       // out VARIANT byte array
constexpr int SIG_CAPTURED = 11;  // out VARIANT_BOOL
constexpr int SIG_RENDER = 30;    // rendering arguments, out VARIANT byte array
}  // namespace Slot

// The SDK of this machine. Its button events arrive through the calling thread's message queue
// (the objects live in that thread's single-threaded apartment), so it brings no message source.
std::shared_ptr<PadSdk::ISdk> CreateSdk();

}  // namespace ComPadSdk
