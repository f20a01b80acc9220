#include "message_pump.h"

#include <chrono>
#include <thread>

namespace BioSigningDevice {
namespace {

constexpr int PUMP_SLICE_MS = 100;

// The thread's message queue, as on Windows: one per thread.
thread_local IMessageSource* threadSource = nullptr;

}  // namespace

MessageSourceScope::MessageSourceScope(IMessageSource* source) : previous_(threadSource) {
    threadSource = source;
}

MessageSourceScope::~MessageSourceScope() { threadSource = previous_; }

bool PumpMessages() {
    if (threadSource) return threadSource->Pump(PUMP_SLICE_MS);
    std::this_thread::sleep_for(std::chrono::milliseconds(PUMP_SLICE_MS));
    return false;
}

}  // namespace BioSigningDevice
