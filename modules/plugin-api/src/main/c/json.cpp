#define JSMN_STATIC
#include <jsmn.h>

#include "json.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "hex.h"
#include "log.h"
#include "secret.h"
#include "utf8.h"
#include "veldra_assert.h"

json_message* json_parse(const char* text) {
    VELDRA_ASSERT(text);
    auto* message = static_cast<json_message*>(std::calloc(1, sizeof(json_message)));
    if (!message) return nullptr;
    message->text = strdup(text);
    if (!message->text) {
        std::free(message);
        return nullptr;
    }
    LOG_DEBUG("Parsing message [%s]", log_mask_secrets(message->text).c_str());
    jsmn_parser parser;
    jsmn_init(&parser);
    const int result = jsmn_parse(&parser, message->text, std::strlen(message->text), message->tokens, JSON_MAX_TOKENS);
    if (result <= 0) {
        LOG_DEBUG("Error parsing message [%s], error code %d", log_mask_secrets(message->text).c_str(), result);
        json_free(message);
        return nullptr;
    }
    message->count = result;
    LOG_DEBUG("Message parsed, found %d tokens", result);
    return message;
}

bool json_get_value(const json_message* message, const char* key, char* value, size_t value_size) {
    VELDRA_ASSERT(message);
    VELDRA_ASSERT(key);
    VELDRA_ASSERT(value);
    VELDRA_ASSERT(value_size > 0);
    value[0] = '\0';
    const size_t keyLength = std::strlen(key);
    for (int i = 0; i + 1 < message->count; ++i) {
        const jsmntok_t& token = message->tokens[i];
        if (token.type != JSMN_STRING) continue;
        if (static_cast<size_t>(token.end - token.start) != keyLength) continue;
        if (std::memcmp(message->text + token.start, key, keyLength) != 0) continue;
        const jsmntok_t& next = message->tokens[i + 1];
        size_t length = static_cast<size_t>(next.end - next.start);
        const size_t room = value_size >= 2 ? value_size - 2 : 0;
        if (length > room) length = room;
        std::memcpy(value, message->text + next.start, length);
        value[length] = '\0';
        return true;
    }
    return false;
}

void json_free(json_message* message) {
    if (!message) return;
    if (message->text) Utils::wipe_bytes(message->text, std::strlen(message->text));  // it may hold a PIN
    std::free(message->text);
    std::free(message);
}

void json_response_init(json_response* message) {
    VELDRA_ASSERT(message);
    message->data = static_cast<char*>(std::malloc(JSON_RESPONSE_INITIAL_SIZE));
    VELDRA_ASSERT(message->data);
    message->data[0] = '\0';
    message->size = JSON_RESPONSE_INITIAL_SIZE;
    message->length = 0;
    message->nestlevel = 0;
    message->owned = false;
    message->failed = false;
}

json_response* json_response_new() {
    auto* message = static_cast<json_response*>(std::malloc(sizeof(json_response)));
    VELDRA_ASSERT(message);
    json_response_init(message);
    message->owned = true;
    return message;
}

namespace {

void clear(json_response* message) {
    message->length = 0;
    message->data[0] = '\0';
    message->nestlevel = 0;
    message->failed = false;
}

// Appends without the nest-level check; grows the buffer to what the text really needs.
size_t append_v(json_response* message, size_t size_hint, const char* format, va_list args) {
    if (message->failed) return message->length;
    va_list measure;
    va_copy(measure, args);
    const int needed = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    if (needed < 0) return message->length;
    const size_t hint =
        size_hint + 10 > static_cast<size_t>(needed) + 1 ? size_hint + 10 : static_cast<size_t>(needed) + 1;
    if (message->size < message->length + hint) {
        const size_t newSize = message->size + hint;
        char* grown = static_cast<char*>(std::realloc(message->data, newSize));
        if (!grown) {
            message->failed = true;
            return message->length;
        }
        message->data = grown;
        message->size = newSize;
    }
    std::vsnprintf(message->data + message->length, message->size - message->length, format, args);
    message->length += static_cast<size_t>(needed);
    return message->length;
}

size_t append(json_response* message, size_t size_hint, const char* format, ...) __attribute__((format(printf, 3, 4)));
size_t append(json_response* message, size_t size_hint, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const size_t length = append_v(message, size_hint, format, args);
    va_end(args);
    return length;
}

constexpr size_t ERROR_MESSAGE_MAX = 1998;

// Start of the last UTF-8 sequence in [begin, end) when it is incomplete, else end.
size_t complete_utf8_prefix(const char* text, size_t length) {
    size_t start = length;
    int back = 0;
    while (start > 0 && back < 4 && (static_cast<unsigned char>(text[start - 1]) & 0xC0) == 0x80) {
        --start;
        ++back;
    }
    if (start == 0) return length;
    const unsigned char lead = static_cast<unsigned char>(text[start - 1]);
    size_t expected = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    if (lead < 0xC0) return length;  // ASCII or stray continuation bytes: nothing to trim
    return (length - (start - 1)) < expected ? start - 1 : length;
}

void error_v(json_response* message, int code, int id, const char* format, va_list args) {
    char scratch[ERROR_MESSAGE_MAX + 2];
    const int full = std::vsnprintf(scratch, ERROR_MESSAGE_MAX + 1, format, args);
    size_t length = std::strlen(scratch);
    if (full > static_cast<int>(ERROR_MESSAGE_MAX)) length = complete_utf8_prefix(scratch, length);
    for (size_t i = 0; i < length; ++i)
        if (scratch[i] == '"') scratch[i] = ' ';
    const std::string text = json_escape(scratch, length);
    clear(message);
    append(message, text.size() + 64, "{\"error\": { \"code\":%d,\"id\":%d,\"message\":\"%s\"}}\n", code, id,
           text.c_str());
    if (message->failed) {  // keeps the builder's own buffer, which holds any short answer
        std::snprintf(message->data, message->size,
                      "{\"error\": { \"code\":%d,\"id\":%d,\"message\":\"Out of memory\"}}\n", code, id);
        message->length = std::strlen(message->data);
        message->failed = false;
    }
}

}  // namespace

void json_response_begin(json_response* message) {
    VELDRA_ASSERT(message);
    clear(message);
    message->nestlevel = 1;
    append(message, 1, "{");
}

void json_response_end(json_response* message) {
    VELDRA_ASSERT(message->nestlevel == 1);
    append(message, 1, "}");
    --message->nestlevel;
}

void json_response_begin_object(json_response* message, const char* name) {
    VELDRA_ASSERT(message);
    ++message->nestlevel;
    if (name) {
        const std::string escaped = json_escape(name);
        append(message, escaped.size() + 64, "\"%s\":{", escaped.c_str());
    } else {
        append(message, 1, "{");
    }
}

void json_response_end_object(json_response* message) {
    VELDRA_ASSERT(message->nestlevel > 1);
    append(message, 1, "}");
    --message->nestlevel;
}

void json_response_add_string(json_response* message, const char* name, const char* value, bool last) {
    VELDRA_ASSERT(name);
    VELDRA_ASSERT(value);
    const std::string escapedName = json_escape(name);
    const std::string escapedValue = json_escape(value);
    json_response_append(message, escapedName.size() + escapedValue.size() + 64, "\"%s\":\"%s\"%s", escapedName.c_str(),
                         escapedValue.c_str(), last ? "" : ",");
}

void json_response_add_int(json_response* message, const char* name, int value, bool last) {
    VELDRA_ASSERT(name);
    const std::string escapedName = json_escape(name);
    json_response_append(message, escapedName.size() + 64, "\"%s\":%d%s", escapedName.c_str(), value, last ? "" : ",");
}

void json_response_add_bool(json_response* message, const char* name, bool value, bool last) {
    VELDRA_ASSERT(name);
    const std::string escapedName = json_escape(name);
    json_response_append(message, escapedName.size() + 64, "\"%s\":%s%s", escapedName.c_str(), value ? "true" : "false",
                         last ? "" : ",");
}

void json_response_begin_array(json_response* message, const char* name) {
    VELDRA_ASSERT(name);
    const std::string escapedName = json_escape(name);
    json_response_append(message, escapedName.size() + 64, "\"%s\": [", escapedName.c_str());
}

void json_response_end_array(json_response* message) { json_response_append(message, 1, "]"); }

size_t json_response_append(json_response* message, size_t size_hint, const char* format, ...) {
    VELDRA_ASSERT(message->nestlevel > 0);
    VELDRA_ASSERT(format);
    va_list args;
    va_start(args, format);
    const size_t length = append_v(message, size_hint, format, args);
    va_end(args);
    return length;
}

void json_response_error(json_response* message, int code, const char* format, ...) {
    VELDRA_ASSERT(message);
    va_list args;
    va_start(args, format);
    error_v(message, code, code, format, args);
    va_end(args);
}

void json_response_error_with_id(json_response* message, int code, int id, const char* format, ...) {
    VELDRA_ASSERT(message);
    va_list args;
    va_start(args, format);
    error_v(message, code, id, format, args);
    va_end(args);
}

char* json_response_release(json_response* message) {
    char* text = message->data;
    message->data = nullptr;
    if (message->owned) std::free(message);
    return text;
}

void json_response_free(json_response* message) {
    if (!message) return;
    std::free(message->data);
    message->data = nullptr;
    if (message->owned) std::free(message);
}

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

namespace {

// The four hex digits at text[at]; -1 when they are not all there.
long utf16_unit(const char* text, size_t length, size_t at) {
    if (at + 4 > length) return -1;
    long unit = 0;
    for (size_t i = 0; i < 4; ++i) {
        const int digit = hex_digit_value(text[at + i]);
        if (digit < 0) return -1;
        unit = unit << 4 | digit;
    }
    return unit;
}

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
            const long unit = utf16_unit(body, length, i + 1);
            if (unit < 0) return false;
            unsigned long code = static_cast<unsigned long>(unit);
            i += 4;
            if (code >= 0xDC00 && code <= 0xDFFF) return false;  // a low surrogate alone
            if (code >= 0xD800 && code <= 0xDBFF) {              // a high one: its low one must follow
                const long low =
                    i + 2 < length && body[i + 1] == '\\' && body[i + 2] == 'u' ? utf16_unit(body, length, i + 3) : -1;
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
