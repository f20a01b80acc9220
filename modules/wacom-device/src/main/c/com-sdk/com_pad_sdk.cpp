#include "com_pad_sdk.h"

#include <ole2.h>
#include <olectl.h>

#include <new>

#include "com_event_sink.h"
#include "com_ref.h"
#include "com_values.h"

namespace ComPadSdk {
namespace {

using PadSdk::Variant;

// A new object of the class with the interface iid: created as IUnknown, put in the running state,
// then asked for the interface. The first failing step's code.
::HRESULT create(const char* clsid, const char* iid, ComRef<IUnknown>* object) {
    ComRef<IUnknown> unknown;
    ::HRESULT hr = CoCreateInstance(GuidFromText(clsid), nullptr, CREATE_CONTEXT, IID_IUnknown,
                                    reinterpret_cast<void**>(unknown.put()));
    if (FAILED(hr)) return hr;
    if (!unknown) return E_POINTER;
    hr = OleRun(unknown.get());
    if (FAILED(hr)) return hr;
    return unknown.query(GuidFromText(iid), object);
}

ComRef<IDispatch> dispatch_of(const ComRef<IUnknown>& object) {
    ComRef<IDispatch> dispatch;
    if (FAILED(object.query(IID_IDispatch, &dispatch))) dispatch.reset();
    return dispatch;
}

class SigObj final : public PadSdk::ISigObj, public DispatchHolder {
public:
    SigObj(ComRef<IDispatch> dispatch, ComRef<IUnknown> object)
        : DispatchHolder(std::move(dispatch)), object_(std::move(object)) {}

    PadSdk::HRESULT IsCaptured(bool* captured) override {
        VARIANT_BOOL value = VARIANT_FALSE;
        const ::HRESULT hr = CallSlot(object_.get(), Slot::SIG_CAPTURED, &value);
        *captured = SUCCEEDED(hr) && value != VARIANT_FALSE;
        return hr;
    }
    PadSdk::HRESULT RenderBitmap(const char* fileName, int32_t width, int32_t height, const char* mimeType,
                                 float inkWidth, uint32_t inkColour, uint32_t backgroundColour, float paddingX,
                                 float paddingY, uint32_t flags, Variant* picture) override {
        const OwnedBstr file(fileName), mime(mimeType);
        if (!file.ok() || !mime.ok()) return E_OUTOFMEMORY;
        OwnedVariant out;
        const ::HRESULT hr =
            CallSlot(object_.get(), Slot::SIG_RENDER, file.get(), static_cast<LONG>(width), static_cast<LONG>(height),
                     mime.get(), inkWidth, static_cast<DWORD>(inkColour), static_cast<DWORD>(backgroundColour),
                     paddingX, paddingY, static_cast<DWORD>(flags), out.get());
        if (SUCCEEDED(hr)) *picture = FromVariant(*out);
        return hr;
    }
    PadSdk::HRESULT GetSigData(Variant* data) override {
        OwnedVariant out;
        const ::HRESULT hr = CallSlot(object_.get(), Slot::SIG_DATA, out.get());
        if (SUCCEEDED(hr)) *data = FromVariant(*out);
        return hr;
    }

private:
    ComRef<IUnknown> object_;
};

class SigCtl final : public PadSdk::ISigCtl {
public:
    explicit SigCtl(ComRef<IUnknown> control) : control_(std::move(control)) {}

    // The control's signature object: an ISigObj when it has the signature interface, otherwise
    // an object that can only be handed back to the SDK.
    PadSdk::HRESULT Signature(std::shared_ptr<PadSdk::IObject>* signature) override {
        ComRef<IDispatch> dispatch;
        const ::HRESULT hr = CallSlot(control_.get(), Slot::SIGCTL_SIGNATURE, dispatch.put());
        if (FAILED(hr)) return hr;
        signature->reset();
        if (!dispatch) return hr;
        ComRef<IUnknown> object;
        if (SUCCEEDED(dispatch.query(GuidFromText(PadSdk::IID_SIGOBJ), &object)) && object)
            *signature = std::make_shared<SigObj>(std::move(dispatch), std::move(object));
        else *signature = std::make_shared<DispatchObject>(std::move(dispatch));
        return hr;
    }

private:
    ComRef<IUnknown> control_;
};

class Hash final : public PadSdk::IHash, public DispatchHolder {
public:
    explicit Hash(ComRef<IUnknown> object) : DispatchHolder(dispatch_of(object)), object_(std::move(object)) {}

    PadSdk::HRESULT SetType(int32_t type) override {
        return CallSlot(object_.get(), Slot::HASH_TYPE, static_cast<LONG>(type));
    }
    PadSdk::HRESULT SetHash(const Variant& bytes) override {
        OwnedVariant value;
        const ::HRESULT made = ToVariant(bytes, value.get());
        if (FAILED(made)) return made;
        return CallSlot(object_.get(), Slot::HASH_VALUE, *value);
    }

private:
    ComRef<IUnknown> object_;
};

class WizCtl final : public PadSdk::IWizCtl {
public:
    explicit WizCtl(ComRef<IUnknown> control) : control_(std::move(control)) {}

    PadSdk::HRESULT Connect(bool* connected) override {
        VARIANT_BOOL value = VARIANT_FALSE;
        const ::HRESULT hr = CallSlot(control_.get(), Slot::WIZ_CONNECT, &value);
        *connected = SUCCEEDED(hr) && value != VARIANT_FALSE;
        return hr;
    }
    PadSdk::HRESULT PadWidth(int16_t* width) override { return read_short(Slot::WIZ_PAD_WIDTH, width); }
    PadSdk::HRESULT PadHeight(int16_t* height) override { return read_short(Slot::WIZ_PAD_HEIGHT, height); }
    PadSdk::HRESULT Disconnect() override { return CallSlot(control_.get(), Slot::WIZ_DISCONNECT); }
    PadSdk::HRESULT Reset() override { return CallSlot(control_.get(), Slot::WIZ_RESET); }
    PadSdk::HRESULT Display() override { return CallSlot(control_.get(), Slot::WIZ_DISPLAY); }

    PadSdk::HRESULT SetFont(const PadSdk::Font& font) override {
        std::wstring face = Utf16(font.face);
        FONTDESC description{};
        description.cbSizeofstruct = sizeof description;
        description.lpstrName = face.data();
        description.cySize.int64 = font.size;
        description.sWeight = static_cast<SHORT>(font.weight);
        description.sCharset = font.charset;
        description.fItalic = font.italic;
        description.fUnderline = font.underline;
        description.fStrikethrough = font.strikethrough;
        ComRef<IFontDisp> made;
        const ::HRESULT hr = OleCreateFontIndirect(&description, IID_IFontDisp, reinterpret_cast<void**>(made.put()));
        if (FAILED(hr)) return hr;
        return CallSlot(control_.get(), Slot::WIZ_FONT, made.get());
    }

    PadSdk::HRESULT AddObject(int32_t type, const std::optional<std::string>& id, const Variant& x, const Variant& y,
                              const Variant& data, const Variant& options) override {
        const OwnedBstr name(id ? id->c_str() : nullptr);
        if (!name.ok()) return E_OUTOFMEMORY;
        OwnedVariant values[4];
        const Variant* sources[4] = {&x, &y, &data, &options};
        for (int i = 0; i < 4; ++i) {
            const ::HRESULT made = ToVariant(*sources[i], values[i].get());
            if (FAILED(made)) return made;
        }
        return CallSlot(control_.get(), Slot::WIZ_ADD_OBJECT, static_cast<LONG>(type), name.get(), *values[0],
                        *values[1], *values[2], *values[3]);
    }

    // The sink stays referenced here too until it is replaced or removed.
    PadSdk::HRESULT SetEventHandler(std::shared_ptr<PadSdk::IWizCtlEvents> receiver) override {
        ComRef<IDispatch> sink;
        if (receiver) {
            sink = ComRef<IDispatch>(EventSink::Create(std::move(receiver)));
            if (!sink) return E_OUTOFMEMORY;
        }
        const ::HRESULT hr = CallSlot(control_.get(), Slot::WIZ_EVENTS, sink.get());
        if (SUCCEEDED(hr) || !sink) sink_ = std::move(sink);
        return hr;
    }

private:
    ::HRESULT read_short(int slot, int16_t* out) {
        SHORT value = 0;
        const ::HRESULT hr = CallSlot(control_.get(), slot, &value);
        *out = SUCCEEDED(hr) ? value : 0;
        return hr;
    }

    ComRef<IUnknown> control_;
    ComRef<IDispatch> sink_;
};

class Sdk final : public PadSdk::ISdk {
public:
    PadSdk::HRESULT CreateSigCtl(std::shared_ptr<PadSdk::ISigCtl>* control) override {
        ComRef<IUnknown> object;
        const ::HRESULT hr = create(CLSID_SIGCTL, PadSdk::IID_SIGCTL, &object);
        if (SUCCEEDED(hr)) *control = std::make_shared<SigCtl>(std::move(object));
        return hr;
    }
    PadSdk::HRESULT CreateWizCtl(std::shared_ptr<PadSdk::IWizCtl>* control) override {
        ComRef<IUnknown> object;
        const ::HRESULT hr = create(CLSID_WIZCTL, IID_WIZCTL, &object);
        if (SUCCEEDED(hr)) *control = std::make_shared<WizCtl>(std::move(object));
        return hr;
    }
    PadSdk::HRESULT CreateHash(std::shared_ptr<PadSdk::IHash>* hash) override {
        ComRef<IUnknown> object;
        const ::HRESULT hr = create(CLSID_HASH, PadSdk::IID_HASH, &object);
        if (SUCCEEDED(hr)) *hash = std::make_shared<Hash>(std::move(object));
        return hr;
    }
    BioSigningDevice::IMessageSource* MessageSource() override { return nullptr; }
};

}  // namespace

std::shared_ptr<PadSdk::ISdk> CreateSdk() { return std::make_shared<Sdk>(); }

}  // namespace ComPadSdk
