#include "wacom_sdk_device.h"

#include <exception>
#include <stdexcept>

#include "base64.h"
#include "com.h"
#include "i18n.h"
#include "log.h"
#include "message_pump.h"
#include "utf8.h"

namespace BioSigningDevice {

using PadSdk::Variant;

namespace {

constexpr const char* PAD_NAME = "Wacom";
constexpr int WAIT_PAUSE_MS = 50;
constexpr int32_t HASH_TYPE = 4;

// Picture rendering settings of the signature object.
constexpr int32_t RENDER_SIZE = -200;
constexpr float INK_WIDTH = 0.7f;
constexpr uint32_t INK_COLOUR = 0x000000;
constexpr uint32_t BACKGROUND_COLOUR = 0xFFFFFF;
constexpr float PADDING = 4.0f;
constexpr uint32_t RENDER_FLAGS = 0x540800;

std::runtime_error resources_error(const char* text) {
    return std::runtime_error(std::string("WacomSDKDevice::Resources::Resources: ") + text);
}

Variant text_or_blank(const std::string& text) { return Variant::Text(text.empty() ? " " : ScreenText(text)); }

}  // namespace

std::string ScreenText(const std::string& text) {
    if (Utils::is_utf8(text)) return text;
    std::string widened;
    for (const unsigned char c : text) {
        if (c < 0x80) {
            widened += static_cast<char>(c);
        } else {
            widened += static_cast<char>(0xC0 | (c >> 6));
            widened += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return widened;
}

std::vector<uint8_t> VariantBytes(const Variant& value, const char* iid) {
    if (value.type == Variant::Type::Bytes) return value.bytes;
    if (value.type == Variant::Type::Array) throw ComError(E_INVALIDARG, iid);
    return {};
}

// ---- Resources

WacomSDKDevice::Resources::Resources(const std::string& name, const SdkProvider& provider) {
    sdk = provider ? provider() : nullptr;
    if (sdk) {
        if (!Succeeded(sdk->CreateSigCtl(&sigCtl))) sigCtl.reset();
        if (!Succeeded(sdk->CreateWizCtl(&wizCtl))) wizCtl.reset();
        messages_ = std::make_unique<MessageSourceScope>(sdk->MessageSource());
    }
    if (!sigCtl) throw resources_error("no pad interface");
    if (!wizCtl) throw ComError(E_POINTER, PadSdk::IID_WIZCTL);

    bool connected = false;
    ThrowIfFailed(wizCtl->Connect(&connected), PadSdk::IID_WIZCTL);
    if (!connected) throw resources_error("could not connect to pad");
    try {
        int16_t width = 0, height = 0;
        ThrowIfFailed(wizCtl->PadWidth(&width), PadSdk::IID_WIZCTL);
        ThrowIfFailed(wizCtl->PadHeight(&height), PadSdk::IID_WIZCTL);
        padInfo = PadInfoForWidth(width);
        if (!padInfo) {
            LOG_DEBUG("Pad screen width %d matches no known model", width);
            throw resources_error("unsupported pad");
        }
        description.type = WacomSdk;
        description.model = padInfo->model;
        description.name = PAD_NAME;
        description.width = width;
        description.height = height;
        description.colour = true;
        if (!name.empty() && name != PAD_NAME) throw resources_error("requested pad not found");
    } catch (...) {
        wizCtl->Disconnect();  // the destructor does not run for a half-made connection
        throw;
    }
}

WacomSDKDevice::Resources::~Resources() {
    if (wizCtl) wizCtl->Disconnect();
    padInfo.reset();
    wizCtl.reset();
    sigCtl.reset();
}

// ---- SigningMonitor

HRESULT WacomSDKDevice::SigningMonitor::Invoke(int32_t dispId, uint16_t flags, const std::vector<Variant>& args) {
    if (dispId != 0 || flags != PadSdk::DISPATCH_METHOD || args.size() != 3 || args[1].type != Variant::Type::Text)
        return DISP_E_MEMBERNOTFOUND;
    return ButtonHandler(args[1].text);
}

HRESULT WacomSDKDevice::SigningMonitor::ButtonHandler(const std::string& id) {
    if (!device_) return S_OK;
    if (id == "Ok") {
        device_->SignEnd();
    } else if (id == "Cancel") {
        device_->SignEnd();
        cancelled_ = true;
    }
    return S_OK;
}

int64_t WacomSDKDevice::SigningMonitor::Progress() {
    PumpMessages();
    return ++progress_;
}

// ---- WacomSDKDevice

WacomSDKDevice::WacomSDKDevice(const std::string& name, SdkProvider sdk) : sdk_(std::move(sdk)) {
    Resources resources(name, sdk_);
    description_ = resources.description;
}

std::vector<uint8_t> WacomSDKDevice::PKCSSign(const std::vector<uint8_t>&) {
    throw std::logic_error("WacomSDKDevice::PKCSSign: not implemented");
}

void WacomSDKDevice::ComposeScreen(Resources& resources) {
    PadSdk::IWizCtl& wiz = *resources.wizCtl;
    const PadInfo& info = *resources.padInfo;
    const bool small = info.model == "STU-300";
    const char* const IID = PadSdk::IID_WIZCTL;
    const Variant missing = Variant::Missing();

    std::shared_ptr<PadSdk::IObject> signature;
    ThrowIfFailed(resources.sigCtl->Signature(&signature), PadSdk::IID_SIGCTL);

    ThrowIfFailed(wiz.Reset(), IID);
    ThrowIfFailed(wiz.SetFont(info.lineFont), IID);
    ThrowIfFailed(wiz.AddObject(0, "txt", Variant::Text(small ? "left" : "centre"), Variant::Int(info.lineY),
                                Variant::Text("X.............................."), Variant::Int(0)),
                  IID);
    ThrowIfFailed(wiz.SetFont(info.textFont), IID);
    ThrowIfFailed(wiz.AddObject(3, "Sig", Variant::Int(0), Variant::Int(0), Variant::Object(signature), missing), IID);
    ThrowIfFailed(
        wiz.AddObject(0, "who", Variant::Text("right"), Variant::Int(info.signerY), text_or_blank(signer_), missing),
        IID);
    ThrowIfFailed(
        wiz.AddObject(0, "why", Variant::Text("right"), Variant::Int(info.reasonY), text_or_blank(reason_), missing),
        IID);
    if (!hash_.empty()) {
        std::shared_ptr<PadSdk::IHash> hash;
        const HRESULT created = resources.sdk->CreateHash(&hash);
        if (created == E_NOINTERFACE) hash.reset();
        else ThrowIfFailed(created, PadSdk::IID_HASH);
        if (!hash) throw ComError(E_POINTER, PadSdk::IID_HASH);
        ThrowIfFailed(hash->SetType(HASH_TYPE), PadSdk::IID_HASH);
        ThrowIfFailed(hash->SetHash(Variant::Bytes(hash_)), PadSdk::IID_HASH);
        ThrowIfFailed(wiz.AddObject(6, std::nullopt, Variant::Int(0), Variant::Int(0), Variant::Object(hash), missing),
                      IID);
    }
    const Variant option = Variant::Int(info.buttonOption);
    ThrowIfFailed(wiz.SetFont(info.buttonFont), IID);
    ThrowIfFailed(wiz.AddObject(1, "Cancel", Variant::Text(small ? "right" : "left"),
                                Variant::Text(small ? "top" : "bottom"), Variant::Text(_("Cancel")), option),
                  IID);
    ThrowIfFailed(wiz.AddObject(1, "Clear", Variant::Text(small ? "right" : "center"),
                                Variant::Text(small ? "middle" : "bottom"), Variant::Text(_("Clear")), option),
                  IID);
    ThrowIfFailed(
        wiz.AddObject(1, "Ok", Variant::Text("right"), Variant::Text("bottom"), Variant::Text(_("Ok")), option), IID);
}

void WacomSDKDevice::CollectResults(Resources& resources, const SigningMonitor& monitor) {
    std::shared_ptr<PadSdk::IObject> dispatch;
    ThrowIfFailed(resources.sigCtl->Signature(&dispatch), PadSdk::IID_SIGCTL);
    auto signature = std::dynamic_pointer_cast<PadSdk::ISigObj>(dispatch);  // no such interface: empty
    if (monitor.Cancelled()) return;
    if (!signature) throw ComError(E_POINTER, PadSdk::IID_SIGOBJ);
    bool captured = false;
    ThrowIfFailed(signature->IsCaptured(&captured), PadSdk::IID_SIGOBJ);
    if (!captured) return;
    Variant picture;
    ThrowIfFailed(signature->RenderBitmap(nullptr, RENDER_SIZE, RENDER_SIZE, "image/png", INK_WIDTH, INK_COLOUR,
                                          BACKGROUND_COLOUR, PADDING, PADDING, RENDER_FLAGS, &picture),
                  PadSdk::IID_SIGOBJ);
    signatureImage_ = VariantBytes(picture, PadSdk::IID_SIGOBJ);
    Variant data;
    ThrowIfFailed(signature->GetSigData(&data), PadSdk::IID_SIGOBJ_DATA);
    signatureData_ = base64_encode(VariantBytes(data, PadSdk::IID_SIGOBJ_DATA));
}

void WacomSDKDevice::CaptureSignature(const std::atomic<bool>* cancel, int64_t stallSeconds, int64_t timeSeconds,
                                      std::string* session) {
    if (session) session->clear();  // this family keeps no signing sessions
    SignStart();
    signatureData_.clear();
    signatureImage_.clear();

    ComInit com;
    Resources resources(description_.name, sdk_);
    ComposeScreen(resources);
    auto monitor = std::make_shared<SigningMonitor>(this);
    ThrowIfFailed(resources.wizCtl->SetEventHandler(monitor), PadSdk::IID_WIZCTL);
    ThrowIfFailed(resources.wizCtl->Display(), PadSdk::IID_WIZCTL);

    // From here on the screen is cleared and the device made idle however the capture ends. Every
    // step runs even when an earlier one fails; the first failure is raised afterwards.
    auto cleanUp = [&]() noexcept -> std::exception_ptr {
        std::exception_ptr first;
        auto step = [&](auto&& call) {
            try {
                call();
            } catch (...) {
                if (!first) first = std::current_exception();
            }
        };
        step([&] { ThrowIfFailed(resources.wizCtl->SetEventHandler(nullptr), PadSdk::IID_WIZCTL); });
        step([&] { ThrowIfFailed(resources.wizCtl->Reset(), PadSdk::IID_WIZCTL); });
        step([&] { ThrowIfFailed(resources.wizCtl->Display(), PadSdk::IID_WIZCTL); });
        monitor->Detach();
        SignEnd();
        step([&] {
            while (PumpMessages()) {}
        });
        return first;
    };
    try {
        WaitWhileBusy([&] { return monitor->Progress(); }, cancel, stallSeconds, timeSeconds, WAIT_PAUSE_MS);
        ThrowIfFailed(resources.wizCtl->SetEventHandler(nullptr), PadSdk::IID_WIZCTL);
        PumpMessages();
        CollectResults(resources, *monitor);
    } catch (...) {
        cleanUp();
        throw;
    }
    if (std::exception_ptr failed = cleanUp()) std::rethrow_exception(failed);
}

}  // namespace BioSigningDevice
