#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gtest/gtest.h>

#include "image_decoder.h"
#include "test_images.h"

using BioSigningDevice::decode_image;

namespace {

// A compressed image file of another kind ("jpeg", "png") through GdkPixbuf's encoders.
template <typename Pixel>
std::vector<uint8_t> encoded(const char* type, int width, int height, Pixel pixel) {
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

}  // namespace

TEST(DecodeImage, PngPixelsComeOutBlueGreenRedRowByRow) {
    const auto file = testimages::png(2, 2, [](int x, int y) {
        static const uint32_t colours[2][2] = {{0xFF0000, 0x0000FF}, {0x00FF00, 0x010203}};
        return colours[y][x];
    });
    const std::vector<uint8_t> expected = {0x00, 0x00, 0xFF, 0xFF, 0x00, 0x00,   // red, blue
                                           0x00, 0xFF, 0x00, 0x03, 0x02, 0x01};  // green, 01 02 03
    EXPECT_EQ(decode_image(file), expected);
}

TEST(DecodeImage, TwoByOneRedThenBlue) {
    const auto file = testimages::png(2, 1, [](int x, int) { return x == 0 ? 0xFF0000u : 0x0000FFu; });
    EXPECT_EQ(decode_image(file), (std::vector<uint8_t>{0x00, 0x00, 0xFF, 0xFF, 0x00, 0x00}));
}

TEST(DecodeImage, JpegAndAlphaImagesDecodeToThreeBytesPerPixel) {
    const auto jpeg = encoded("jpeg", 16, 8, [](int, int) { return 0xFFFFFFu; });
    const auto pixels = decode_image(jpeg);
    ASSERT_EQ(pixels.size(), 16u * 8 * 3);
    EXPECT_GE(pixels[0], 250);

    GdkPixbuf* alpha = gdk_pixbuf_new(GDK_COLORSPACE_RGB, TRUE, 8, 3, 2);
    gdk_pixbuf_fill(alpha, 0x10203080);
    gchar* buffer = nullptr;
    gsize size = 0;
    ASSERT_TRUE(gdk_pixbuf_save_to_buffer(alpha, &buffer, &size, "png", nullptr, nullptr));
    const std::vector<uint8_t> file(buffer, buffer + size);
    g_free(buffer);
    g_object_unref(alpha);
    const auto decoded = decode_image(file);
    ASSERT_EQ(decoded.size(), 3u * 2 * 3);
    EXPECT_EQ(decoded[0], 0x30);
    EXPECT_EQ(decoded[1], 0x20);
    EXPECT_EQ(decoded[2], 0x10);
}

TEST(DecodeImage, WhatIsNoImageDecodesToNothing) {
    EXPECT_TRUE(decode_image({}).empty());
    EXPECT_TRUE(decode_image({'n', 'o', ' ', 'i', 'm', 'a', 'g', 'e'}).empty());
    const auto png = testimages::solid_png(4, 4);
    EXPECT_TRUE(decode_image(std::vector<uint8_t>(png.begin(), png.begin() + 20)).empty());  // header only
}

TEST(DecodeImage, RefusesImagesFarLargerThanAnyScreen) {
    // 4100 x 4100 is just over 16 million pixels.
    const auto huge = encoded("png", 4100, 4100, [](int, int) { return 0u; });
    EXPECT_TRUE(decode_image(huge).empty());
}
