#include "onscreen_objects.h"

#include <cstring>

#include "signature_render.h"

namespace OnScreenPad {

using namespace BioSigningDevice;
using PadSdk::Variant;

void SigObj::Begin(uint16_t width, uint16_t height, uint8_t hashType, std::vector<uint8_t> hash, std::string signer,
                   std::string reason) {
    record_ = SignatureRecord();
    record_.width = width;
    record_.height = height;
    record_.hashType = hashType;
    record_.hash = std::move(hash);
    record_.signer = std::move(signer);
    record_.reason = std::move(reason);
    captured_ = false;
    overflowed_ = false;
}

void SigObj::AddSample(const Sample& sample) {
    if (record_.samples.size() >= MAX_SAMPLES) overflowed_ = true;
    else record_.samples.push_back(sample);
}

bool SigObj::HasInk() const {
    for (const Sample& s : record_.samples)
        if (s.pressure != 0) return true;
    return false;
}

HRESULT SigObj::IsCaptured(bool* captured) {
    if (!captured) return E_POINTER;
    if (overflowed_) return E_OUTOFMEMORY;
    *captured = captured_;
    return S_OK;
}

// The flags select rendering variants of pad SDKs; this renderer has one and ignores them.
HRESULT SigObj::RenderBitmap(const char* fileName, int32_t width, int32_t height, const char* mimeType, float inkWidth,
                             uint32_t inkColour, uint32_t backgroundColour, float paddingX, float paddingY, uint32_t,
                             Variant* picture) {
    if (!picture || !mimeType) return E_POINTER;
    if (std::strcmp(mimeType, "image/png") != 0) return E_INVALIDARG;
    if (overflowed_) return E_OUTOFMEMORY;
    if (!captured_) return E_FAIL;
    RenderSettings settings{width, height, inkWidth, inkColour, backgroundColour, paddingX, paddingY};
    std::vector<uint8_t> png = RenderSignaturePng(record_, settings);
    if (png.empty()) return E_INVALIDARG;
    if (fileName) {
        FILE* file = std::fopen(fileName, "wb");
        if (!file) return E_FAIL;
        const bool written = std::fwrite(png.data(), 1, png.size(), file) == png.size();
        const bool closed = std::fclose(file) == 0;
        *picture = Variant();
        return written && closed ? S_OK : E_FAIL;
    }
    *picture = Variant::Bytes(std::move(png));
    return S_OK;
}

HRESULT SigObj::GetSigData(Variant* data) {
    if (!data) return E_POINTER;
    if (overflowed_) return E_OUTOFMEMORY;
    *data = captured_ ? Variant::Bytes(EncodeSignatureData(record_)) : Variant();
    return S_OK;
}

HRESULT SigCtl::Signature(std::shared_ptr<PadSdk::IObject>* signature) {
    if (!signature) return E_POINTER;
    *signature = signature_;
    return S_OK;
}

HRESULT Hash::SetType(int32_t value) {
    type = value;
    return S_OK;
}

HRESULT Hash::SetHash(const Variant& bytes) {
    if (bytes.type != Variant::Type::Bytes) return E_INVALIDARG;
    value = bytes.bytes;
    return S_OK;
}

}  // namespace OnScreenPad
