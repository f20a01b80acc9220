// Base64 through OpenSSL's Base64 filter without line breaks, for the pad commands' images.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Decoding fails unless every character decodes and the byte count matches the text's length and
// padding.
bool base64_bio_decode(const std::string& text, std::vector<uint8_t>* bytes);
std::string base64_bio_encode(const std::vector<uint8_t>& bytes);
