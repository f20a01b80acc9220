#include "signature_render.h"

#include <cairo.h>

#include <cmath>
#include <memory>

namespace OnScreenPad {
namespace {

double scale_of(int32_t size, uint16_t screen) {
    if (size > 0) return static_cast<double>(size) / screen;
    if (size < 0) return -static_cast<double>(size) / 100.0;
    return 1.0;
}

void set_colour(cairo_t* cr, uint32_t colour) {
    cairo_set_source_rgb(cr, (colour & 0xFF) / 255.0, ((colour >> 8) & 0xFF) / 255.0, ((colour >> 16) & 0xFF) / 255.0);
}

cairo_status_t append_png(void* closure, const unsigned char* data, unsigned int length) {
    auto* out = static_cast<std::vector<uint8_t>*>(closure);
    out->insert(out->end(), data, data + length);
    return CAIRO_STATUS_SUCCESS;
}

constexpr double MAX_PICTURE_SIDE = 8192;

}  // namespace

std::vector<uint8_t> RenderSignaturePng(const SignatureRecord& record, const RenderSettings& settings) {
    if (record.width == 0 || record.height == 0) return {};
    const double sx = scale_of(settings.width, record.width);
    const double sy = scale_of(settings.height, record.height);
    const double width = std::round(record.width * sx + 2.0 * settings.paddingX);
    const double height = std::round(record.height * sy + 2.0 * settings.paddingY);
    if (!(width >= 1 && height >= 1 && width <= MAX_PICTURE_SIDE && height <= MAX_PICTURE_SIDE)) return {};

    std::unique_ptr<cairo_surface_t, decltype(&cairo_surface_destroy)> surface(
        cairo_image_surface_create(CAIRO_FORMAT_RGB24, static_cast<int>(width), static_cast<int>(height)),
        &cairo_surface_destroy);
    std::unique_ptr<cairo_t, decltype(&cairo_destroy)> context(cairo_create(surface.get()), &cairo_destroy);
    cairo_t* cr = context.get();
    set_colour(cr, settings.backgroundColour);
    cairo_paint(cr);

    set_colour(cr, settings.inkColour);
    cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
    cairo_set_line_join(cr, CAIRO_LINE_JOIN_ROUND);
    const double fullWidth = settings.inkWidth * SCREEN_PIXELS_PER_MM * (sx + sy) / 2.0;
    auto point = [&](const Sample& s, double* x, double* y) {
        *x = settings.paddingX + s.x * sx;
        *y = settings.paddingY + s.y * sy;
    };
    const Sample* previous = nullptr;
    for (const Sample& sample : record.samples) {
        if (sample.pressure == 0) {
            previous = nullptr;
            continue;
        }
        double x1, y1, x0, y0;
        point(sample, &x1, &y1);
        if (previous) point(*previous, &x0, &y0);
        else {
            x0 = x1;
            y0 = y1;
        }  // a stroke's first point: a dot
        const double pressure = static_cast<double>(sample.pressure) / MAX_PRESSURE;
        cairo_set_line_width(cr, std::max(1.0, fullWidth * (0.5 + 0.5 * pressure)));
        cairo_move_to(cr, x0, y0);
        cairo_line_to(cr, x1, y1);
        cairo_stroke(cr);
        previous = &sample;
    }
    cairo_surface_flush(surface.get());

    std::vector<uint8_t> png;
    if (cairo_surface_write_to_png_stream(surface.get(), &append_png, &png) != CAIRO_STATUS_SUCCESS) return {};
    return png;
}

}  // namespace OnScreenPad
