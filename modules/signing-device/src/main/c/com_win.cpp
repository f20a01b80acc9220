// COM apartments on Windows: CoInitializeEx and CoUninitialize themselves; the depth kept beside
// them per thread is what ComInitDepth reports.
#include "com.h"

#include <objbase.h>

namespace BioSigningDevice {
namespace {

thread_local int depth = 0;

}  // namespace

HRESULT ComInitialize(Apartment kind) {
    const DWORD model = kind == Apartment::SingleThreaded ? COINIT_APARTMENTTHREADED : COINIT_MULTITHREADED;
    const HRESULT hr = static_cast<HRESULT>(CoInitializeEx(nullptr, model));
    if (Succeeded(hr)) ++depth;
    return hr;
}

void ComUninitialize() {
    if (depth == 0) return;
    --depth;
    CoUninitialize();
}

int ComInitDepth() { return depth; }

ComInit::ComInit() : result_(ComInitialize(Apartment::SingleThreaded)) {
    if (result_ == RPC_E_CHANGED_MODE) result_ = ComInitialize(Apartment::MultiThreaded);
}

ComInit::~ComInit() {
    if (Succeeded(result_)) ComUninitialize();
}

}  // namespace BioSigningDevice
