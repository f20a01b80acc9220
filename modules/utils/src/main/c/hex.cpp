#include "hex.h"

#include <cstdio>
#include <cstring>

#include "veldra_assert.h"

int hex_digit_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

int hex_to_bytes(const char* string, uint8_t* out, size_t out_capacity) {
    VELDRA_ASSERT(string);
    VELDRA_ASSERT(out);
    const size_t length = std::strlen(string);
    if (length % 2 != 0) return -1;
    const size_t n = length / 2;
    if (out_capacity < n) return -1;
    for (size_t i = 0; i < length; ++i)
        if (hex_digit_value(string[i]) < 0) return -1;
    for (size_t i = 0; i < n; ++i)
        out[i] = static_cast<uint8_t>(hex_digit_value(string[2 * i]) << 4 | hex_digit_value(string[2 * i + 1]));
    return static_cast<int>(n);
}

char* bytes_to_hex(const uint8_t* bytes, size_t bytesLength, char* string, size_t out_capacity) {
    VELDRA_ASSERT(bytes || !bytesLength);
    VELDRA_ASSERT(string);
    if (out_capacity == 0) return string;
    string[0] = '\0';
    static const char digits[] = "0123456789ABCDEF";
    for (size_t i = 0; 2 * i + 1 < out_capacity - 1 && i < bytesLength; ++i) {
        string[2 * i] = digits[bytes[i] >> 4];
        string[2 * i + 1] = digits[bytes[i] & 0x0F];
        string[2 * i + 2] = '\0';
    }
    return string;
}

std::string hex_upper(const std::vector<uint8_t>& bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (uint8_t b : bytes) {
        text += digits[b >> 4];
        text += digits[b & 0x0F];
    }
    return text;
}
