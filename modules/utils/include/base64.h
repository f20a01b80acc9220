// Standard Base64 (RFC 4648 alphabet, "=" padding, no line breaks).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

std::string base64_encode(const uint8_t* bytes, size_t length);
inline std::string base64_encode(const std::vector<uint8_t>& bytes) {
    return base64_encode(bytes.data(), bytes.size());
}
// Throws std::runtime_error("invalid base64 length") when the length is not a multiple of 4.
// Decoding stops at the first "="; a character outside the alphabet decodes as 63.
std::vector<uint8_t> base64_decode(const std::string& text);
