// The signature picture: the ink of a capture drawn with cairo over the whole screen area.
//
// Size arguments: a positive value is the picture's extent in pixels; a negative value a scale in
// per cent of the screen (-200: twice the screen size); 0 the screen size. Padding (in picture pixels)
// is added on each side: a screen point (x, y) lands at (paddingX + x * scaleX, paddingY + y * scaleY).
// The ink width is in millimetres of the pad screen (5 screen pixels per millimetre), thinner where
// the pen pressed lightly. Colours are 0x00BBGGRR.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "signature_data.h"

namespace OnScreenPad {

struct RenderSettings {
    int32_t width = 0;
    int32_t height = 0;
    float inkWidth = 0.7f;
    uint32_t inkColour = 0x000000;
    uint32_t backgroundColour = 0xFFFFFF;
    float paddingX = 0;
    float paddingY = 0;
};

constexpr double SCREEN_PIXELS_PER_MM = 5.0;

// PNG bytes; empty when the screen size or the settings give no picture.
std::vector<uint8_t> RenderSignaturePng(const SignatureRecord& record, const RenderSettings& settings);

}  // namespace OnScreenPad
