// PNG files made on the fly for the tests: 8-bit RGB, no filter, stored (uncompressed) deflate
// blocks. Written here so that the tests need no image library on any platform.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace testimages {

namespace detail {

inline uint32_t crc32(const uint8_t* data, size_t size, uint32_t crc = 0) {
    crc = ~crc;
    for (size_t i = 0; i < size; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
    }
    return ~crc;
}

inline void put32(std::vector<uint8_t>& out, uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(value >> shift));
}

inline void chunk(std::vector<uint8_t>& out, const char* type, const std::vector<uint8_t>& data) {
    put32(out, static_cast<uint32_t>(data.size()));
    std::vector<uint8_t> body(type, type + 4);
    body.insert(body.end(), data.begin(), data.end());
    out.insert(out.end(), body.begin(), body.end());
    put32(out, crc32(body.data(), body.size()));
}

// A zlib stream of stored blocks.
inline std::vector<uint8_t> zlib_stored(const std::vector<uint8_t>& raw) {
    std::vector<uint8_t> out = {0x78, 0x01};
    size_t at = 0;
    do {
        const size_t length = std::min<size_t>(raw.size() - at, 65535);
        const bool last = at + length == raw.size();
        out.push_back(last ? 1 : 0);
        out.push_back(static_cast<uint8_t>(length));
        out.push_back(static_cast<uint8_t>(length >> 8));
        out.push_back(static_cast<uint8_t>(~length));
        out.push_back(static_cast<uint8_t>(~length >> 8));
        out.insert(out.end(), raw.begin() + static_cast<std::ptrdiff_t>(at),
                   raw.begin() + static_cast<std::ptrdiff_t>(at + length));
        at += length;
    } while (at < raw.size());
    uint32_t a = 1, b = 0;
    for (const uint8_t byte : raw) {
        a = (a + byte) % 65521;
        b = (b + a) % 65521;
    }
    put32(out, (b << 16) | a);
    return out;
}

}  // namespace detail

// A PNG file of the given size; pixel(x, y) gives 0xRRGGBB.
template <typename Pixel>
std::vector<uint8_t> png(int width, int height, Pixel pixel) {
    std::vector<uint8_t> raw;
    raw.reserve(static_cast<size_t>(height) * (static_cast<size_t>(width) * 3 + 1));
    for (int y = 0; y < height; ++y) {
        raw.push_back(0);  // filter: none
        for (int x = 0; x < width; ++x) {
            const uint32_t rgb = pixel(x, y);
            raw.push_back(static_cast<uint8_t>(rgb >> 16));
            raw.push_back(static_cast<uint8_t>(rgb >> 8));
            raw.push_back(static_cast<uint8_t>(rgb));
        }
    }
    std::vector<uint8_t> file = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    std::vector<uint8_t> header;
    detail::put32(header, static_cast<uint32_t>(width));
    detail::put32(header, static_cast<uint32_t>(height));
    header.insert(header.end(), {8, 2, 0, 0, 0});  // 8 bits, RGB, deflate, no filter set, no interlace
    detail::chunk(file, "IHDR", header);
    detail::chunk(file, "IDAT", detail::zlib_stored(raw));
    detail::chunk(file, "IEND", {});
    return file;
}

inline std::vector<uint8_t> solid_png(int width, int height, uint32_t rgb = 0x336699) {
    return png(width, height, [rgb](int, int) { return rgb; });
}

}  // namespace testimages
