// The pad SDK as this family uses it: the signature control, the wizard control, the hash object,
// the signature object and the wizard's event interface, one operation for each call the family
// makes (the slot of the automation interface is noted at each). Every operation answers an
// HRESULT; the family raises failures as ComError with the interface identifier given here.
//
// On Windows these wrap the SDK's COM objects. On Linux the on-screen pad (onscreen/) implements
// them: a window the size of a pad screen that captures pen, touch or mouse strokes.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "com.h"
#include "message_pump.h"

namespace PadSdk {

using BioSigningDevice::HRESULT;

// Interface identifiers under which failures are reported.
constexpr const char* IID_SIGCTL = "{BA4D0AD3-2A59-410D-971D-3B7964975E21}";
constexpr const char* IID_WIZCTL = "{9B96307C-A4E1-4E3B-BADB-169C5CDBB3BB}";
constexpr const char* IID_HASH = "{E490AFE3-E089-498F-8DDF-F9D9A4C7C595}";
constexpr const char* IID_SIGOBJ = "{4FCEFD0C-1054-47F0-AF82-4BD571D50A88}";
constexpr const char* IID_SIGOBJ_DATA = "{DCB4391F-BA9B-4753-B673-E281F91B9397}";
constexpr const char* IID_WIZCTL_EVENTS = "{28086C7E-1500-48E1-A02C-4046EB99A9F9}";

// An automation object that can travel in a Variant (VT_DISPATCH).
class IObject {
public:
    virtual ~IObject() = default;
};

// The values of screen objects and of byte arrays.
struct Variant {
    enum class Type {
        Empty,    // VT_EMPTY
        Int,      // VT_INT
        Text,     // VT_BSTR (UTF-8 here)
        Object,   // VT_DISPATCH
        Missing,  // VT_ERROR with DISP_E_PARAMNOTFOUND
        Bytes,    // VT_ARRAY | VT_UI1
        Array,    // an array of some other element type
    };
    Type type = Type::Empty;
    int32_t number = 0;
    std::string text;
    std::shared_ptr<IObject> object;
    std::vector<uint8_t> bytes;

    static Variant Int(int32_t value) {
        Variant v;
        v.type = Type::Int;
        v.number = value;
        return v;
    }
    static Variant Text(std::string value) {
        Variant v;
        v.type = Type::Text;
        v.text = std::move(value);
        return v;
    }
    static Variant Object(std::shared_ptr<IObject> value) {
        Variant v;
        v.type = Type::Object;
        v.object = std::move(value);
        return v;
    }
    static Variant Missing() {
        Variant v;
        v.type = Type::Missing;
        return v;
    }
    static Variant Bytes(std::vector<uint8_t> value) {
        Variant v;
        v.type = Type::Bytes;
        v.bytes = std::move(value);
        return v;
    }
};

// A font made with OleCreateFontIndirect: face, size in points as currency (points x 10000), weight.
struct Font {
    std::string face = "Verdana";
    int64_t size = 0;
    int32_t weight = 400;
    int16_t charset = 0;
    bool italic = false, underline = false, strikethrough = false;
};

// The signature object: the capture's ink, its picture and its data.
class ISigObj : public IObject {
public:
    virtual HRESULT IsCaptured(bool* captured) = 0;  // slot 11
    // slot 30: renders the ink; fileName null: the picture comes back in *picture as Bytes.
    virtual HRESULT RenderBitmap(const char* fileName, int32_t width, int32_t height, const char* mimeType,
                                 float inkWidth, uint32_t inkColour, uint32_t backgroundColour, float paddingX,
                                 float paddingY, uint32_t flags, Variant* picture) = 0;
    virtual HRESULT GetSigData(Variant* data) = 0;  // slot 7
};

class ISigCtl {
public:
    virtual ~ISigCtl() = default;
    virtual HRESULT Signature(std::shared_ptr<IObject>* signature) = 0;  // slot 30
};

class IHash : public IObject {
public:
    virtual HRESULT SetType(int32_t type) = 0;          // slot 8
    virtual HRESULT SetHash(const Variant& bytes) = 0;  // slot 10
};

// _IWizCtlEvents: the wizard calls Invoke(0, DISPATCH_METHOD, 3 arguments) when a screen object is
// touched; the second argument is the object's identifier.
constexpr uint16_t DISPATCH_METHOD = 1;
class IWizCtlEvents {
public:
    virtual ~IWizCtlEvents() = default;
    virtual HRESULT Invoke(int32_t dispId, uint16_t flags, const std::vector<Variant>& args) = 0;
};

class IWizCtl {
public:
    virtual ~IWizCtl() = default;
    virtual HRESULT Connect(bool* connected) = 0;    // slot 29
    virtual HRESULT PadWidth(int16_t* width) = 0;    // slot 23
    virtual HRESULT PadHeight(int16_t* height) = 0;  // slot 25
    virtual HRESULT Disconnect() = 0;                // slot 30
    virtual HRESULT Reset() = 0;                     // slot 31: remove all screen objects
    virtual HRESULT SetFont(const Font& font) = 0;   // slot 18
    // slot 32: type 0 text, 1 button, 3 signing area (data: the signature object), 6 hash (data: a hash
    // object). x: a pixel column or "left", "centre"/"center", "right"; y: a pixel row or "top",
    // "middle", "bottom"; options: the button width for buttons.
    virtual HRESULT AddObject(int32_t type, const std::optional<std::string>& id, const Variant& x, const Variant& y,
                              const Variant& data, const Variant& options) = 0;
    virtual HRESULT SetEventHandler(std::shared_ptr<IWizCtlEvents> sink) = 0;  // slot 35; null removes
    virtual HRESULT Display() = 0;                                             // slot 36
};

// Object creation (CoCreateInstance + OleRun + QueryInterface), and the source of the thread's
// window messages while the SDK's objects are in use (null when it has none).
class ISdk {
public:
    virtual ~ISdk() = default;
    virtual HRESULT CreateSigCtl(std::shared_ptr<ISigCtl>* control) = 0;
    virtual HRESULT CreateWizCtl(std::shared_ptr<IWizCtl>* control) = 0;
    virtual HRESULT CreateHash(std::shared_ptr<IHash>* hash) = 0;
    virtual BioSigningDevice::IMessageSource* MessageSource() = 0;
};

// The on-screen pad module's entry point: a new SDK owned by the caller.
using CreateSdkFunction = ISdk* (*)();
constexpr const char* ONSCREEN_PAD_MODULE = "libveldra-onscreen-pad.so";
constexpr const char* ONSCREEN_PAD_SYMBOL = "veldra_onscreen_pad_sdk";
// The module's own answer to where its window program is (installed beside it): a path that lives
// as long as the module, empty when the module cannot name its own folder.
using WindowProgramFunction = const char* (*)();
constexpr const char* ONSCREEN_PAD_WINDOW_SYMBOL = "veldra_onscreen_pad_window_program";

}  // namespace PadSdk
