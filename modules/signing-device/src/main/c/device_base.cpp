#include "device_base.h"

#include <algorithm>
#include <chrono>
#include <stdexcept>
#include <thread>

#include "clock.h"
#include "image_decoder.h"

namespace BioSigningDevice {

void DeviceBase::SetImage(std::vector<uint8_t> image, Rect rect, bool encoded) {
    if (encoded) image = decode_image(image);
    const int64_t width = description_.width;
    const int64_t height = description_.height;
    const int64_t expected = description_.colour ? width * height * 3 : width * height / 8;
    if (static_cast<int64_t>(image.size()) != expected)
        throw std::logic_error("BioSigningDevice::DeviceBase::SetImage: invalid image dimensions");
    image_ = std::move(image);
    // In 64 bits: a corner far to the left ("rectX" -2147483648) must not overflow the width left.
    rect.x = std::min(rect.x, description_.width - 1);
    rect.y = std::min(rect.y, description_.height - 1);
    rect.w = static_cast<int32_t>(std::min<int64_t>(rect.w, int64_t{description_.width} - rect.x));
    rect.h = static_cast<int32_t>(std::min<int64_t>(rect.h, int64_t{description_.height} - rect.y));
    rect_ = rect;
}

void DeviceBase::SetTexts(const std::string& signer, const std::string& reason) {
    signer_ = signer;
    reason_ = reason;
}

void DeviceBase::SetHash(const std::vector<uint8_t>& hash) { hash_ = hash; }

void DeviceBase::SignStart() {
    int32_t expected = Idle;
    if (!state_.compare_exchange_strong(expected, Busy))
        throw std::logic_error("BioSigningDevice::DeviceBase::SignStart: can not start; device not idle");
}

bool DeviceBase::SignEnd() {
    int32_t expected = Busy;
    return state_.compare_exchange_strong(expected, Idle);
}

void DeviceBase::WaitWhileBusy(const std::function<int64_t()>& progress, const std::atomic<bool>* cancel,
                               int64_t stallSeconds, int64_t timeSeconds, int pauseMs) {
    constexpr int64_t NS_PER_SECOND = 1000000000;
    const int64_t start = Utils::monotonic_ns();
    int64_t last = start;
    int64_t best = 0;
    while (state_.load() == Busy) {
        if (cancel && cancel->load()) return;
        const int64_t now = Utils::monotonic_ns();
        const int64_t value = progress();  // an empty function throws std::bad_function_call
        if (value > best) {
            best = value;
            last = now;
        }
        if (best != 0 && now - last > stallSeconds * NS_PER_SECOND) return;
        if (timeSeconds != 0 && now - start > timeSeconds * NS_PER_SECOND) return;
        if (pauseMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
    }
}

}  // namespace BioSigningDevice
