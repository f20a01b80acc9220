// The seam between the pad commands and the pad drivers: what a pad is, how a family lists and
// opens its pads, and what a command can ask of an open pad.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace BioSigningDevice {

enum PadType : int32_t {
    StepOver = 1,
    WacomSdk = 3,
};

struct PadDescription {
    int32_t type = 0;
    std::string name;   // how a command selects the pad
    std::string model;  // label from the family's model table
    int32_t width = 0;  // screen size in pixels
    int32_t height = 0;
    bool colour = false;  // screen images: 3 bytes per pixel when true, 1 bit per pixel when false
    std::map<std::string, std::string> properties;  // "Certificate" holds a pad certificate
};

struct Rect {
    int32_t x = 0;
    int32_t y = 0;
    int32_t w = 0;
    int32_t h = 0;
};

// A signing session that a capture left behind; signs a hash with the pad's key.
class SigningSession {
public:
    virtual ~SigningSession() = default;
    virtual std::vector<uint8_t> SignHash(const std::vector<uint8_t>& hash) = 0;
};

class ISigningDevice {
public:
    virtual ~ISigningDevice() = default;
    // Background image: an image file when encoded is true, otherwise raw screen pixels.
    virtual void SetImage(std::vector<uint8_t> image, Rect rect, bool encoded) = 0;
    virtual void SetTexts(const std::string& signer, const std::string& reason) = 0;
    virtual void SetHash(const std::vector<uint8_t>& hash) = 0;
    // One capture on the calling thread. Returns when the user finished or cancelled, *cancel became
    // non-zero, progress stalled for stallSeconds, or timeSeconds passed (0: no limit). Success shows
    // only as non-empty GetSignatureData and GetImage afterwards. session (may be null) is emptied,
    // then receives a session identifier when the family can sign later.
    virtual void CaptureSignature(const std::atomic<bool>* cancel, int64_t stallSeconds, int64_t timeSeconds,
                                  std::string* session) = 0;
    virtual PadDescription GetDescription() = 0;
    virtual std::string GetSignatureData() = 0;   // Base64
    virtual std::vector<uint8_t> GetImage() = 0;  // PNG
    virtual std::vector<uint8_t> PKCSSign(const std::vector<uint8_t>& data) = 0;
};

class ISigningDeviceFactory {
public:
    virtual ~ISigningDeviceFactory() = default;
    virtual std::vector<PadDescription> Enumerate() = 0;
    virtual std::shared_ptr<ISigningDevice> CreateDevice(const std::string& name) = 0;
    virtual std::shared_ptr<SigningSession> OpenSession(const std::string& session) = 0;
};

}  // namespace BioSigningDevice
