// JSON in and out: a request tokenized once and read by member name, and the response builder.
// Values are carried as raw text: the reader does not decode escapes; the builder's formatted
// appends write what they are given (use json_escape for text that is not known to be plain).
#pragma once

#include <cstddef>
#include <string>

#ifndef JSMN_H
#define JSMN_HEADER  // declarations only: json_tokenizer.cpp holds the tokenizer
#include <jsmn.h>
#endif

constexpr int JSON_MAX_TOKENS = 250;
constexpr size_t JSON_RESPONSE_INITIAL_SIZE = 20480;

struct json_message {
    char* text;  // own NUL-terminated copy of the request
    jsmntok_t tokens[JSON_MAX_TOKENS];
    int count;  // tokens found, at least 1
};

// Parses text; null when it has no token or does not tokenize.
json_message* json_parse(const char* text);
// Copies the raw text of the token after the first string token equal to key, cut to
// value_size - 2 characters. False (and value empty) when no token matched.
bool json_get_value(const json_message* message, const char* key, char* value, size_t value_size);
void json_free(json_message* message);

// A copy of a request or response text for a log line or an answer: every value the reader would
// return for "pin" or "pinToken", in whatever form the text holds it (names compared with their
// escapes decoded), replaced by ***. A text that is not JSON is hidden from where the tokenizer
// stopped or from the first name that could be a secret ("pin" in any form), whichever comes first.
std::string log_mask_secrets(const char* text);

struct json_response {
    char* data;     // always NUL-terminated
    size_t size;    // capacity of data
    size_t length;  // string length of data
    int nestlevel;  // open objects; 0: none
    bool owned;     // the record itself is on the heap
    bool failed;    // an append could not get memory; the text is incomplete
};

void json_response_init(json_response* message);
json_response* json_response_new();  // heap record, owned
void json_response_begin(json_response* message);
void json_response_end(json_response* message);
void json_response_begin_object(json_response* message, const char* name);
void json_response_end_object(json_response* message);
// The member writers: "name":"value", "name":N, "name":true|false, each name and string value
// JSON-escaped and followed by "," unless last.
void json_response_add_string(json_response* message, const char* name, const char* value, bool last);
void json_response_add_int(json_response* message, const char* name, int value, bool last);
void json_response_add_bool(json_response* message, const char* name, bool value, bool last);
// A named array: "name": [ (one blank after the colon) and its ]; its elements are separated with
// json_response_separator.
void json_response_begin_array(json_response* message, const char* name);
void json_response_end_array(json_response* message);
// The "," before a member or an element written by hand, unless it is the first of its object or
// array.
void json_response_separator(json_response* message, bool first = false);
// Appends formatted text; returns the new length. The buffer grows to fit whatever the hint says.
size_t json_response_append(json_response* message, size_t size_hint, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
// Replace the whole text by {"error": { "code":C,"id":I,"message":"M"}} and a newline.
void json_response_error(json_response* message, int code, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
void json_response_error_with_id(json_response* message, int code, int id, const char* format, ...)
    __attribute__((format(printf, 4, 5)));
// Hands the text over to the caller (free() it) and releases the record when owned.
char* json_response_release(json_response* message);
void json_response_free(json_response* message);

// The text a JSON string body (as json_get_value gives it, escapes undecoded) stands for: every
// escape decoded, \uXXXX (surrogate pairs too) as UTF-8. False when an escape is invalid, a
// surrogate is unpaired, or the text would hold a NUL.
bool json_unescape(const char* body, size_t length, std::string& text);

// The body of a JSON string holding text: quote, backslash and control characters escaped,
// bytes that are not UTF-8 replaced by U+FFFD.
std::string json_escape(const char* text);
std::string json_escape(const char* text, size_t length);
