// Image files to raw screen pixels: width x height x 3 bytes, rows from the top, each pixel as blue,
// green, red; no padding, no alpha. The decoder (GdkPixbuf: PNG, JPEG, GIF, BMP, TIFF and more) lives
// in the module libveldra-image-decoder.so, opened on first use so that only a command that decodes
// an image loads the toolkit libraries.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace BioSigningDevice {

// Empty when the bytes are no image this decoder reads, or when the image is implausibly large
// (more than 16 million pixels: never a pad screen). Throws std::runtime_error when the decoder
// module cannot be loaded.
std::vector<uint8_t> decode_image(const std::vector<uint8_t>& file);

// The module's entry point.
using DecodeImageFunction = bool (*)(const uint8_t* data, size_t length, std::vector<uint8_t>* pixels);
constexpr const char* IMAGE_DECODER_MODULE = "libveldra-image-decoder.so";
constexpr const char* IMAGE_DECODER_SYMBOL = "veldra_decode_image";

}  // namespace BioSigningDevice
