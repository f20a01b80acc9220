// A pad driven through the pad SDK: composes the signing screen, binds the hash, waits for the user
// and collects the signature picture and data.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "device_base.h"
#include "pad_info.h"
#include "pad_sdk.h"

namespace BioSigningDevice {

class WacomSDKDevice : public DeviceBase {
public:
    // Where the SDK comes from; null when it is not available on this machine.
    using SdkProvider = std::function<std::shared_ptr<PadSdk::ISdk>()>;

    // Opens a connection for the name (empty: whichever pad is there), keeps its description, closes it.
    WacomSDKDevice(const std::string& name, SdkProvider sdk);

    void CaptureSignature(const std::atomic<bool>* cancel, int64_t stallSeconds, int64_t timeSeconds,
                          std::string* session) override;
    std::vector<uint8_t> PKCSSign(const std::vector<uint8_t>& data) override;

    class Resources;
    class SigningMonitor;

private:
    void ComposeScreen(Resources& resources);
    void CollectResults(Resources& resources, const SigningMonitor& monitor);

    SdkProvider sdk_;
};

// One open pad connection.
class WacomSDKDevice::Resources {
public:
    // Throws std::runtime_error "no pad interface" (no signature control), ComError E_POINTER (no
    // wizard control), "could not connect to pad", "unsupported pad" (a screen width of no known
    // model) or "requested pad not found" (a name other than the pad's).
    Resources(const std::string& name, const SdkProvider& sdk);
    ~Resources();
    Resources(const Resources&) = delete;
    Resources& operator=(const Resources&) = delete;

    std::shared_ptr<PadSdk::ISdk> sdk;
    std::shared_ptr<PadSdk::ISigCtl> sigCtl;
    std::shared_ptr<PadSdk::IWizCtl> wizCtl;
    std::shared_ptr<PadInfo> padInfo;
    PadDescription description;

private:
    std::unique_ptr<MessageSourceScope> messages_;
};

// Base of the objects that receive a pad's events.
class SigDevEventListener {};

// Receives the wizard's button events during one capture.
class WacomSDKDevice::SigningMonitor : public SigDevEventListener, public PadSdk::IWizCtlEvents {
public:
    explicit SigningMonitor(WacomSDKDevice* device) : device_(device) {}

    // Only dispatch id 0 as a method with three arguments, the second a text, reaches the handler.
    HRESULT Invoke(int32_t dispId, uint16_t flags, const std::vector<PadSdk::Variant>& args) override;
    // "Ok" ends the capture, "Cancel" ends it and marks it cancelled; anything else ("Clear") is ignored.
    HRESULT ButtonHandler(const std::string& id);
    // Pumps the thread's messages once (the button events arrive there); the value grows on every call.
    int64_t Progress();
    bool Cancelled() const { return cancelled_; }
    // After the capture: events that still arrive no longer reach the device.
    void Detach() { device_ = nullptr; }

private:
    WacomSDKDevice* device_;
    int64_t progress_ = 0;
    bool cancelled_ = false;
};

// Screen text: UTF-8 as it is; text that is not valid UTF-8 is widened byte by byte (as Latin-1).
std::string ScreenText(const std::string& text);
// The bytes of a byte-array Variant; empty when it holds no array; ComError E_INVALIDARG (under iid)
// for an array of another element type.
std::vector<uint8_t> VariantBytes(const PadSdk::Variant& value, const char* iid);

}  // namespace BioSigningDevice
