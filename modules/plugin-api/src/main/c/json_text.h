// Pieces of JSON text shared by the reader's mask and the escapes.
#pragma once

#include <cstddef>

// The UTF-16 unit of the four hexadecimal digits at text[at] (after a "\\u"); -1 when they are not
// all there.
long json_utf16_unit(const char* text, size_t length, size_t at);
