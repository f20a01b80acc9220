#include "pinentry_text.h"

#include <cstdint>

#include "utf8.h"

namespace {

void append_escaped_byte(std::string& out, uint8_t value) {
    static const char digits[] = "0123456789ABCDEF";
    out += '%';
    out += digits[value >> 4];
    out += digits[value & 0x0F];
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

}  // namespace

std::string pinentry_widen_bytes(std::string_view text) {
    if (Utils::is_utf8(text)) return std::string(text);
    std::string out;
    out.reserve(text.size() * 3);
    for (char c : text) {
        const auto value = static_cast<uint8_t>(c);
        if (value < 0x80) {
            out += c;
            continue;
        }
        const uint32_t unit = 0xFF00u | value;  // the byte as a signed 8-bit value, widened to 16 bits
        out += static_cast<char>(0xE0 | (unit >> 12));
        out += static_cast<char>(0x80 | ((unit >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (unit & 0x3F));
    }
    return out;
}

std::string pinentry_double_underscores(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        out += c;
        if (c == '_') out += '_';
    }
    return out;
}

std::string pinentry_command(std::string_view name, std::string_view text) {
    std::string line(name);
    if (text.empty()) return line;
    line += ' ';
    bool leading = true;
    std::string piece;
    for (std::size_t at = 0; at < text.size();) {
        std::size_t length = Utils::utf8_sequence_length(text, at);
        if (length == 0) length = 1;  // callers pass valid UTF-8; a stray byte is kept as it is
        piece.clear();
        const auto value = static_cast<uint8_t>(text[at]);
        if (length == 1 && (value < 0x20 || value == '%' || value == 0x7F || (leading && value == ' '))) {
            append_escaped_byte(piece, value);
        } else {
            piece.append(text.substr(at, length));
        }
        if (value != ' ') leading = false;
        if (line.size() + piece.size() > kPinentryLineLimit) break;
        line += piece;
        at += length;
    }
    return line;
}

void pinentry_unescape_append(std::string_view data, Utils::SecretBytes& out, std::size_t limit) {
    for (std::size_t at = 0; at < data.size() && out.size() < limit; ++at) {
        char c = data[at];
        if (c == '%' && at + 2 < data.size()) {
            const int high = hex_value(data[at + 1]);
            const int low = hex_value(data[at + 2]);
            if (high >= 0 && low >= 0) {
                c = static_cast<char>(high * 16 + low);
                at += 2;
            }
        }
        out.push_back(c);
    }
}

std::size_t pinentry_prefix_bytes(const char* text, std::size_t size, std::size_t characters) {
    std::size_t at = 0;
    std::size_t seen = 0;
    while (at < size) {
        if ((static_cast<uint8_t>(text[at]) & 0xC0) != 0x80) {  // a character starts here
            if (seen == characters) break;
            ++seen;
        }
        ++at;
    }
    return at;
}
