// The answer writer: appends to a growing buffer and tracks open objects; the program's one error
// form.
#include "json.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "veldra_assert.h"

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

// The "," after a member unless it is the last one.
const char* separator_after(bool last) { return last ? "" : ","; }

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
                         escapedValue.c_str(), separator_after(last));
}

void json_response_add_int(json_response* message, const char* name, int value, bool last) {
    VELDRA_ASSERT(name);
    const std::string escapedName = json_escape(name);
    json_response_append(message, escapedName.size() + 64, "\"%s\":%d%s", escapedName.c_str(), value,
                         separator_after(last));
}

void json_response_add_bool(json_response* message, const char* name, bool value, bool last) {
    VELDRA_ASSERT(name);
    const std::string escapedName = json_escape(name);
    json_response_append(message, escapedName.size() + 64, "\"%s\":%s%s", escapedName.c_str(), value ? "true" : "false",
                         separator_after(last));
}

void json_response_begin_array(json_response* message, const char* name) {
    VELDRA_ASSERT(name);
    const std::string escapedName = json_escape(name);
    json_response_append(message, escapedName.size() + 64, "\"%s\": [", escapedName.c_str());
}

void json_response_end_array(json_response* message) { json_response_append(message, 1, "]"); }

void json_response_separator(json_response* message, bool first) {
    if (!first) json_response_append(message, 1, ",");
}

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
