// The image decoder module: GdkPixbuf reads the file, the pixels are rewritten as blue, green, red.
#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gio/gio.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "image_decoder.h"

namespace {

constexpr int64_t MAX_PIXELS = 16 * 1024 * 1024;
constexpr size_t HEADER_CHUNK = 4096;

struct ImageSize {
    bool known = false;
    int64_t pixels = 0;
};

void on_size_prepared(GdkPixbufLoader*, gint width, gint height, gpointer user) {
    auto* size = static_cast<ImageSize*>(user);
    size->known = true;
    size->pixels = static_cast<int64_t>(width) * height;
}

// Reads only as much of the file as it takes to learn the image size, so that an image far too large
// is refused before its pixels are allocated. False for no image or too large an image.
bool plausible_size(const uint8_t* data, size_t length) {
    GdkPixbufLoader* loader = gdk_pixbuf_loader_new();
    ImageSize size;
    g_signal_connect(loader, "size-prepared", G_CALLBACK(on_size_prepared), &size);
    bool ok = true;
    for (size_t done = 0; ok && !size.known && done < length; done += HEADER_CHUNK)
        ok = gdk_pixbuf_loader_write(loader, data + done, std::min(HEADER_CHUNK, length - done), nullptr);
    gdk_pixbuf_loader_close(loader, nullptr);
    g_object_unref(loader);
    return size.known && size.pixels <= MAX_PIXELS;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) bool veldra_decode_image(const uint8_t* data, size_t length,
                                                                           std::vector<uint8_t>* pixels) {
    pixels->clear();
    if (length == 0 || !plausible_size(data, length)) return false;
    // A file cut short after its first rows decodes with the missing rows blank, as with most decoders.
    GInputStream* stream = g_memory_input_stream_new_from_data(data, static_cast<gssize>(length), nullptr);
    GdkPixbuf* pixbuf = gdk_pixbuf_new_from_stream(stream, nullptr, nullptr);
    g_object_unref(stream);
    if (!pixbuf) return false;
    if (gdk_pixbuf_get_colorspace(pixbuf) == GDK_COLORSPACE_RGB && gdk_pixbuf_get_bits_per_sample(pixbuf) == 8 &&
        gdk_pixbuf_get_n_channels(pixbuf) >= 3) {
        const int width = gdk_pixbuf_get_width(pixbuf);
        const int height = gdk_pixbuf_get_height(pixbuf);
        const int channels = gdk_pixbuf_get_n_channels(pixbuf);
        const int stride = gdk_pixbuf_get_rowstride(pixbuf);
        const guchar* rows = gdk_pixbuf_read_pixels(pixbuf);
        pixels->resize(static_cast<size_t>(width) * height * 3);
        uint8_t* out = pixels->data();
        for (int y = 0; y < height; ++y) {
            const guchar* in = rows + static_cast<size_t>(y) * stride;
            for (int x = 0; x < width; ++x, in += channels) {
                *out++ = in[2];
                *out++ = in[1];
                *out++ = in[0];
            }
        }
    }
    g_object_unref(pixbuf);
    return !pixels->empty();
}
