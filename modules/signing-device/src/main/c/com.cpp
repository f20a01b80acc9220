#include "com.h"

namespace BioSigningDevice {
namespace {

struct ThreadApartment {
    int depth = 0;
    Apartment kind = Apartment::SingleThreaded;
};

// The apartment belongs to the thread, as on Windows.
thread_local ThreadApartment apartment;

}  // namespace

HRESULT ComInitialize(Apartment kind) {
    if (apartment.depth == 0) {
        apartment.kind = kind;
        apartment.depth = 1;
        return S_OK;
    }
    if (apartment.kind != kind) return RPC_E_CHANGED_MODE;
    ++apartment.depth;
    return S_FALSE;
}

void ComUninitialize() {
    if (apartment.depth > 0) --apartment.depth;
}

int ComInitDepth() { return apartment.depth; }

ComInit::ComInit() : result_(ComInitialize(Apartment::SingleThreaded)) {
    if (result_ == RPC_E_CHANGED_MODE) result_ = ComInitialize(Apartment::MultiThreaded);
}

ComInit::~ComInit() {
    if (result_ == S_OK || result_ == S_FALSE) ComUninitialize();
}

}  // namespace BioSigningDevice
