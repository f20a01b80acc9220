#include "pad_info.h"

namespace BioSigningDevice {
namespace {

struct ModelRow {
    int32_t width;
    const char* model;
    int32_t lineY, signerY, reasonY;
    int32_t textPoints, buttonPoints, linePoints;
    int32_t buttonOption;
};

constexpr ModelRow MODELS[] = {
    {396, "STU-300", 60, 200, 200, 8, 8, 16, 70},
    {320, "STU-430 or ePad", 100, 130, 150, 10, 12, 16, 110},
    {640, "STU-500", 300, 360, 390, 16, 22, 32, 110},
    {800, "STU-520 or STU-530", 300, 360, 390, 16, 22, 32, 110},
};

PadSdk::Font verdana(int32_t points) {
    PadSdk::Font font;
    font.face = "Verdana";
    font.size = static_cast<int64_t>(points) * 10000;  // currency: points x 10000
    font.weight = 0;
    return font;
}

}  // namespace

std::shared_ptr<PadInfo> PadInfoForWidth(int32_t width) {
    for (const ModelRow& row : MODELS) {
        if (row.width != width) continue;
        auto info = std::make_shared<PadInfo>();
        info->model = row.model;
        info->textFont = verdana(row.textPoints);
        info->buttonFont = verdana(row.buttonPoints);
        info->lineFont = verdana(row.linePoints);
        info->lineY = row.lineY;
        info->signerY = row.signerY;
        info->reasonY = row.reasonY;
        info->buttonOption = row.buttonOption;
        return info;
    }
    return nullptr;
}

}  // namespace BioSigningDevice
