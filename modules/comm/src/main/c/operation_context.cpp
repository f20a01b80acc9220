#include "operation_context.h"

#include <cstdio>

#include "comm_base.h"

namespace SZidaZaru::detail {

std::string OperationContext::Compose(const std::string& message) const {
    const std::string& top = Top();
    if (top.empty()) return message;
    char buffer[2048];
    std::snprintf(buffer, sizeof buffer, "Error %s%s%s", top.c_str(), message.empty() ? "" : "; ", message.c_str());
    return buffer;
}

void OperationContext::ThrowSystemCall(const char* function, long result) const {
    const uint32_t code = static_cast<uint32_t>(result) | 0x80000000u;
    throw Utils::api_exception(Compose(std::string("error calling ") + function), static_cast<int32_t>(code), 0);
}

void OperationContext::ThrowPlain(const std::string& message) const {
    throw Utils::api_exception(Compose(message), 0, 0);
}

void OperationContext::ThrowStatusWord(uint32_t statusWord, uint32_t commandWord) const {
    throw Utils::api_exception(Compose("error SW"), static_cast<int32_t>(statusWord),
                               static_cast<int32_t>(commandWord));
}

void OperationContext::ThrowPinOutcome(int32_t code, const std::string& message, int32_t value) const {
    throw CommBase::CommException(Compose(message), code, value);
}

}  // namespace SZidaZaru::detail
