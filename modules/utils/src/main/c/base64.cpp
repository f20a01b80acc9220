#include "base64.h"

#include <array>
#include <stdexcept>

#include "veldra_assert.h"

namespace {
constexpr char ALPHABET[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::array<uint8_t, 256> decode_table() {
    std::array<uint8_t, 256> table{};
    for (auto& entry : table) entry = 255;
    for (int i = 0; i < 64; ++i) table[static_cast<unsigned char>(ALPHABET[i])] = static_cast<uint8_t>(i);
    return table;
}
constexpr auto DECODE = decode_table();
}  // namespace

std::string base64_encode(const uint8_t* bytes, size_t length) {
    std::string text;
    text.reserve(4 * ((length + 2) / 3));
    uint32_t buffer = 0;
    int bits = 0;
    for (size_t i = 0; i < length; ++i) {
        buffer = (buffer << 8) | bytes[i];
        bits += 8;
        while (bits >= 6) {
            bits -= 6;
            text += ALPHABET[(buffer >> bits) & 0x3F];
        }
        VELDRA_ASSERT(bits <= 6);
    }
    if (bits > 0) text += ALPHABET[(buffer << (6 - bits)) & 0x3F];
    while (text.size() % 4 != 0) text += '=';
    return text;
}

std::vector<uint8_t> base64_decode(const std::string& text) {
    if (text.size() % 4 != 0) throw std::runtime_error("invalid base64 length");
    std::vector<uint8_t> bytes;
    bytes.reserve(text.size() / 4 * 3);
    uint32_t buffer = 0;
    int bits = 0;
    for (char c : text) {
        if (c == '=') break;
        buffer = (buffer << 6) | (DECODE[static_cast<unsigned char>(c)] & 0x3F);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            bytes.push_back(static_cast<uint8_t>((buffer >> bits) & 0xFF));
        }
    }
    return bytes;
}
