// Image files made on the fly for the tests (GdkPixbuf encoders).
#pragma once

#include <gdk-pixbuf/gdk-pixbuf.h>

#include <cstdint>
#include <string>
#include <vector>

namespace testimages {

// An image file ("png", "jpeg", ...) of the given size; pixel(x, y) gives 0xRRGGBB.
template <typename Pixel>
std::vector<uint8_t> make(const char* type, int width, int height, Pixel pixel) {
    GdkPixbuf* pixbuf = gdk_pixbuf_new(GDK_COLORSPACE_RGB, FALSE, 8, width, height);
    guchar* rows = gdk_pixbuf_get_pixels(pixbuf);
    const int stride = gdk_pixbuf_get_rowstride(pixbuf);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const uint32_t rgb = pixel(x, y);
            guchar* p = rows + y * stride + x * 3;
            p[0] = rgb >> 16;
            p[1] = (rgb >> 8) & 0xFF;
            p[2] = rgb & 0xFF;
        }
    gchar* buffer = nullptr;
    gsize size = 0;
    gdk_pixbuf_save_to_buffer(pixbuf, &buffer, &size, type, nullptr, nullptr);
    std::vector<uint8_t> file(buffer, buffer + size);
    g_free(buffer);
    g_object_unref(pixbuf);
    return file;
}

inline std::vector<uint8_t> solid_png(int width, int height, uint32_t rgb = 0x336699) {
    return make("png", width, height, [rgb](int, int) { return rgb; });
}

}  // namespace testimages
