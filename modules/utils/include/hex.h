// Hexadecimal text and bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The value of one hex digit (either case), or -1.
int hex_digit_value(char c);
// Decodes an even-length text of hex digits (either case); the number of bytes written, or -1 for
// an odd length, a bad digit or too little room. Nothing is written unless the whole text is valid.
int hex_to_bytes(const char* string, uint8_t* out, size_t out_capacity);
// Upper-case digits of as many bytes as fit in out_capacity (2 per byte plus the NUL); returns out.
char* bytes_to_hex(const uint8_t* bytes, size_t bytesLength, char* string, size_t out_capacity);
std::string hex_upper(const std::vector<uint8_t>& bytes);
