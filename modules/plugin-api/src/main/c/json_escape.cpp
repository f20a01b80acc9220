// JSON string bodies: text escaped for an answer, and a body's escapes decoded.
#include "json.h"
#include "json_text.h"

#include <cstdio>
#include <cstring>

#include "hex.h"
#include "utf8.h"

std::string json_escape(const char* text) { return text ? json_escape(text, std::strlen(text)) : std::string(); }

std::string json_escape(const char* text, size_t length) {
    std::string out;
    out.reserve(length);
    const auto* start = reinterpret_cast<const unsigned char*>(text);
    const auto* p = start;
    const auto* end = p + length;
    while (p < end) {
        const unsigned char c = *p;
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
            ++p;
        } else if (c < 0x20) {
            char escape[8];
            switch (c) {
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            case '\b': out += "\\b"; break;
            case '\f': out += "\\f"; break;
            default: std::snprintf(escape, sizeof escape, "\\u%04x", c); out += escape;
            }
            ++p;
        } else if (c < 0x80) {
            out += static_cast<char>(c);
            ++p;
        } else if (const size_t n = Utils::utf8_sequence_length({text, length}, static_cast<size_t>(p - start))) {
            out.append(reinterpret_cast<const char*>(p), n);
            p += n;
        } else {
            out += "\\ufffd";
            ++p;
        }
    }
    return out;
}

long json_utf16_unit(const char* text, size_t length, size_t at) {
    if (at + 4 > length) return -1;
    long unit = 0;
    for (size_t i = 0; i < 4; ++i) {
        const int digit = hex_digit_value(text[at + i]);
        if (digit < 0) return -1;
        unit = unit << 4 | digit;
    }
    return unit;
}

namespace {

void append_utf8(std::string& out, unsigned long code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | code >> 6);
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | code >> 12);
        out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | code >> 18);
        out += static_cast<char>(0x80 | (code >> 12 & 0x3F));
        out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

}  // namespace

bool json_unescape(const char* body, size_t length, std::string& text) {
    text.clear();
    for (size_t i = 0; i < length; ++i) {
        const char c = body[i];
        if (c == '\0') return false;
        if (c != '\\') {
            text += c;
            continue;
        }
        if (++i >= length) return false;
        switch (body[i]) {
        case '"': text += '"'; break;
        case '\\': text += '\\'; break;
        case '/': text += '/'; break;
        case 'b': text += '\b'; break;
        case 'f': text += '\f'; break;
        case 'n': text += '\n'; break;
        case 'r': text += '\r'; break;
        case 't': text += '\t'; break;
        case 'u': {
            const long unit = json_utf16_unit(body, length, i + 1);
            if (unit < 0) return false;
            unsigned long code = static_cast<unsigned long>(unit);
            i += 4;
            if (code >= 0xDC00 && code <= 0xDFFF) return false;  // a low surrogate alone
            if (code >= 0xD800 && code <= 0xDBFF) {              // a high one: its low one must follow
                const long low = i + 2 < length && body[i + 1] == '\\' && body[i + 2] == 'u'
                                     ? json_utf16_unit(body, length, i + 3)
                                     : -1;
                if (low < 0xDC00 || low > 0xDFFF) return false;
                code = 0x10000 + ((code - 0xD800) << 10) + (static_cast<unsigned long>(low) - 0xDC00);
                i += 6;
            }
            if (code == 0) return false;  // no name holds a NUL
            append_utf8(text, code);
            break;
        }
        default: return false;
        }
    }
    return true;
}
