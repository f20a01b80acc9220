// What every pad device keeps: the inputs of a capture (image, texts, hash), its results and its state.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "signing_device.h"

namespace BioSigningDevice {

class DeviceBase : public ISigningDevice {
public:
    enum State : int32_t { Idle = 0, Busy = 1 };

    void SetImage(std::vector<uint8_t> image, Rect rect, bool encoded) override;
    void SetTexts(const std::string& signer, const std::string& reason) override;
    void SetHash(const std::vector<uint8_t>& hash) override;
    PadDescription GetDescription() override { return description_; }
    std::string GetSignatureData() override { return signatureData_; }
    std::vector<uint8_t> GetImage() override { return signatureImage_; }

    State GetState() const { return static_cast<State>(state_.load()); }
    Rect GetRect() const { return rect_; }
    const std::vector<uint8_t>& GetBackground() const { return image_; }

protected:
    // Idle -> Busy; throws std::logic_error when a capture is already running.
    void SignStart();
    // Busy -> Idle; false when the device was not busy (a repeated or late transition is harmless).
    bool SignEnd();
    // Keeps the thread's messages flowing while Busy. Ends when *cancel is set, when progress()
    // has not grown for more than stallSeconds (once it grew at all), when timeSeconds passed (0: no
    // limit), or when the state left Busy. Sleeps pauseMs between turns. Never changes the state.
    void WaitWhileBusy(const std::function<int64_t()>& progress, const std::atomic<bool>* cancel, int64_t stallSeconds,
                       int64_t timeSeconds, int pauseMs);

    std::atomic<int32_t> state_{Idle};
    PadDescription description_;
    std::string signer_;
    std::string reason_;
    std::vector<uint8_t> image_;
    Rect rect_{0, 0, 2048, 2048};
    std::vector<uint8_t> hash_;
    std::string signatureData_;
    std::vector<uint8_t> signatureImage_;
};

}  // namespace BioSigningDevice
