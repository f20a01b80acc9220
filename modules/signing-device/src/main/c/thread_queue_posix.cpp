#include <chrono>
#include <thread>

#include "message_pump.h"

namespace BioSigningDevice {

bool PumpThreadQueue(int timeoutMs) {
    if (timeoutMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(timeoutMs));
    return false;
}

}  // namespace BioSigningDevice
