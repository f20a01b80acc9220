// The image decoder module: GdkPixbuf reads the file, the pixels are rewritten as blue, green, red.
#include <gdk-pixbuf/gdk-pixbuf.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "image_decoder.h"

namespace {

constexpr int64_t MAX_PIXELS = 16 * 1024 * 1024;
constexpr size_t CHUNK = 4096;

// The loader tells the size before any module allocates pixels: an image too large (or of no size)
// is stopped there. A size of 0 x 0 is the modules' sign to allocate nothing more.
void on_size_prepared(GdkPixbufLoader* loader, gint width, gint height, gpointer user) {
    if (width > 0 && height > 0 && static_cast<int64_t>(width) * height <= MAX_PIXELS) return;
    *static_cast<bool*>(user) = true;
    gdk_pixbuf_loader_set_size(loader, 0, 0);
}

// The decoded image, a new reference; nullptr for no image or too large an image.
GdkPixbuf* load(const uint8_t* data, size_t length) {
    GdkPixbufLoader* loader = gdk_pixbuf_loader_new();
    bool refused = false;
    g_signal_connect(loader, "size-prepared", G_CALLBACK(on_size_prepared), &refused);
    bool ok = true;
    for (size_t done = 0; ok && !refused && done < length; done += CHUNK)
        ok = gdk_pixbuf_loader_write(loader, data + done, std::min(CHUNK, length - done), nullptr);
    ok = gdk_pixbuf_loader_close(loader, nullptr) && ok && !refused;
    GdkPixbuf* pixbuf = ok ? gdk_pixbuf_loader_get_pixbuf(loader) : nullptr;
    if (pixbuf) g_object_ref(pixbuf);
    g_object_unref(loader);
    return pixbuf;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) bool veldra_decode_image(const uint8_t* data, size_t length,
                                                                           std::vector<uint8_t>* pixels) {
    pixels->clear();
    if (length == 0) return false;
    GdkPixbuf* pixbuf = load(data, length);
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
