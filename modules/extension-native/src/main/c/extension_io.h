// Native messaging frames on standard input and output: a 32-bit little-endian length, then the text.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr uint32_t EXTENSION_MAX_REQUEST = 4194303;  // this length and above is refused
constexpr int EXTENSION_READ_WINDOW_SECONDS = 10;
// The largest answer a browser takes from a host (Chrome's and Firefox's bound); a longer one is
// replaced by an error frame.
constexpr uint32_t EXTENSION_MAX_RESPONSE = 1024 * 1024;

// Switches a standard stream to binary mode where the platform translates newlines.
void extension_set_binary_mode(int fd);
// Reads up to count bytes from standard input within a 10-second window, ending early at the end of
// the input; the number stored.
size_t extension_read_bytes(uint8_t* buffer, size_t count);
// One request frame's text, NUL-terminated (free() it), or null on any failure.
char* extension_read_request();
// Writes data as one frame and flushes; data longer than EXTENSION_MAX_RESPONSE is not written but
// answered with error 99.
void extension_write_response(const char* data);
