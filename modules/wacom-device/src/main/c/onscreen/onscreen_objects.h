// The on-screen pad's signature object, signature control and hash object.
#pragma once

#include <memory>
#include <string>

#include "pad_sdk.h"
#include "signature_data.h"

namespace OnScreenPad {

using BioSigningDevice::HRESULT;

// The pen samples one capture keeps at most: its time limit (60 s) of a fast pen, reporting 1000
// times a second (pen tablets report 133 to 266 times, gaming mice 1000).
constexpr size_t MAX_SAMPLES = 60 * 1000;

class SigObj : public PadSdk::ISigObj {
public:
    HRESULT IsCaptured(bool* captured) override;
    HRESULT RenderBitmap(const char* fileName, int32_t width, int32_t height, const char* mimeType, float inkWidth,
                         uint32_t inkColour, uint32_t backgroundColour, float paddingX, float paddingY, uint32_t flags,
                         PadSdk::Variant* picture) override;
    HRESULT GetSigData(PadSdk::Variant* data) override;

    // Called by the wizard: a new signing screen was shown, the pen samples so far, the end of it.
    void Begin(uint16_t width, uint16_t height, uint8_t hashType, std::vector<uint8_t> hash, std::string signer,
               std::string reason);
    // Keeps the sample unless MAX_SAMPLES are kept already: the signature is then incomplete for
    // good (until Clear), and IsCaptured, RenderBitmap and GetSigData fail with E_OUTOFMEMORY.
    void AddSample(const Sample& sample);
    bool Overflowed() const { return overflowed_; }
    void Clear() {
        record_.samples.clear();
        overflowed_ = false;
    }
    bool HasInk() const;
    void Accept() { captured_ = HasInk(); }
    const SignatureRecord& Record() const { return record_; }

private:
    SignatureRecord record_;
    bool captured_ = false;
    bool overflowed_ = false;
};

class SigCtl : public PadSdk::ISigCtl {
public:
    HRESULT Signature(std::shared_ptr<PadSdk::IObject>* signature) override;

private:
    std::shared_ptr<SigObj> signature_ = std::make_shared<SigObj>();
};

class Hash : public PadSdk::IHash {
public:
    HRESULT SetType(int32_t type) override;
    HRESULT SetHash(const PadSdk::Variant& bytes) override;
    int32_t type = 0;
    std::vector<uint8_t> value;
};

}  // namespace OnScreenPad
