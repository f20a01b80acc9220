// The screen layout of each pad model, chosen by the screen width the pad reports.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "pad_sdk.h"

namespace BioSigningDevice {

struct PadInfo {
    std::string model;
    PadSdk::Font textFont;
    PadSdk::Font buttonFont;
    PadSdk::Font lineFont;
    int32_t lineY = 0;
    int32_t signerY = 0;
    int32_t reasonY = 0;
    int32_t buttonOption = 0;
};

// The layout of the model with this screen width; null when no model has it.
std::shared_ptr<PadInfo> PadInfoForWidth(int32_t width);

}  // namespace BioSigningDevice
