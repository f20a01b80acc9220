// The error type of the comm layer and of the card commands built on it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <string>

namespace Utils {

// what() is the message followed by " (0x<code>) (0x<value>)", both in lower-case hexadecimal
// without leading zeros, negative numbers shown as their unsigned 32-bit pattern.
class api_exception : public std::runtime_error {
public:
    api_exception(const std::string& message, int32_t code, int32_t value)
        : std::runtime_error(compose(message, code, value)), message_(message), code_(code), value_(value) {}

    const std::string& message() const noexcept { return message_; }
    int32_t code() const noexcept { return code_; }
    int32_t value() const noexcept { return value_; }

private:
    static std::string compose(const std::string& message, int32_t code, int32_t value) {
        char suffix[64];
        std::snprintf(suffix, sizeof suffix, " (0x%x) (0x%x)", static_cast<uint32_t>(code),
                      static_cast<uint32_t>(value));
        return message + suffix;
    }

    std::string message_;
    int32_t code_;
    int32_t value_;
};

}  // namespace Utils
