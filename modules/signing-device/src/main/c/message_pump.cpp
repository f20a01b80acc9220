#include "message_pump.h"

namespace BioSigningDevice {
namespace {

constexpr int PUMP_SLICE_MS = 100;

// The thread's message queue, as on Windows: one per thread.
thread_local IMessageSource* threadSource = nullptr;

}  // namespace

MessageSourceScope::MessageSourceScope(IMessageSource* source) : previous_(threadSource) { threadSource = source; }

MessageSourceScope::~MessageSourceScope() { threadSource = previous_; }

bool PumpMessages() {
    if (threadSource) return threadSource->Pump(PUMP_SLICE_MS);
    return PumpThreadQueue(PUMP_SLICE_MS);
}

}  // namespace BioSigningDevice
