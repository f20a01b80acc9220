#include "onscreen_wizctl.h"

#include <cstdlib>

#include "x_work_area.h"

namespace OnScreenPad {

using namespace BioSigningDevice;
using PadSdk::Variant;

WizCtl::~WizCtl() { Disconnect(); }

// The size comes from the X server; the window program starts when a screen is first shown, so a
// connection that only reads the size (listing the pads, opening the device) costs no toolkit
// start-up. Without an X server to ask (a Wayland session), the window program is started here and
// picks the size from its display.
HRESULT WizCtl::Connect(bool* connected) {
    if (!connected) return E_POINTER;
    *connected = false;
    window_.Stop();
    if (const std::optional<Area> area = XWorkArea()) {
        const PadScreen screen = PadScreenFitting(area->width, area->height);
        width_ = screen.width;
        height_ = screen.height;
    } else {
        const char* wayland = std::getenv("WAYLAND_DISPLAY");
        uint16_t width = 0, height = 0;
        if (!wayland || !*wayland || !window_.Start(program_, &width, &height)) return S_OK;
        width_ = width;
        height_ = height;
    }
    connected_ = true;
    *connected = true;
    return S_OK;
}

HRESULT WizCtl::PadWidth(int16_t* width) {
    if (!width) return E_POINTER;
    if (!connected_) return E_FAIL;
    *width = static_cast<int16_t>(width_);
    return S_OK;
}

HRESULT WizCtl::PadHeight(int16_t* height) {
    if (!height) return E_POINTER;
    if (!connected_) return E_FAIL;
    *height = static_cast<int16_t>(height_);
    return S_OK;
}

HRESULT WizCtl::Disconnect() {
    window_.Stop();
    objects_.clear();
    signing_.reset();
    sink_.reset();
    shown_ = false;
    connected_ = false;
    return S_OK;
}

HRESULT WizCtl::Reset() {
    objects_.clear();
    signing_.reset();
    return S_OK;
}

HRESULT WizCtl::SetFont(const PadSdk::Font& font) {
    font_ = font;
    return S_OK;
}

HRESULT WizCtl::AddObject(int32_t type, const std::optional<std::string>& id, const Variant& x, const Variant& y,
                          const Variant& data, const Variant& options) {
    if (!connected_) return E_FAIL;
    const bool text = data.type == Variant::Type::Text;
    const bool object = data.type == Variant::Type::Object && data.object;
    switch (type) {
    case 0:  // text
    case 1:  // button
        if (!text) return E_INVALIDARG;
        break;
    case 3:  // signing area
        if (!object || !std::dynamic_pointer_cast<SigObj>(data.object)) return E_INVALIDARG;
        break;
    case 6:  // hash bound into the signature
        if (!object || !std::dynamic_pointer_cast<Hash>(data.object)) return E_INVALIDARG;
        break;
    default: return E_INVALIDARG;
    }
    objects_.push_back({type, id.value_or(""), x, y, data, options, font_});
    return S_OK;
}

HRESULT WizCtl::SetEventHandler(std::shared_ptr<PadSdk::IWizCtlEvents> sink) {
    sink_ = std::move(sink);
    return S_OK;
}

HRESULT WizCtl::Display() {
    if (!connected_) return E_FAIL;
    ++screen_;
    shown_ = false;
    signing_.reset();
    if (objects_.empty()) {
        if (!window_.Running() || window_.Send(EncodeHide())) return S_OK;  // nothing shown: nothing to hide
        Lost();
        return E_FAIL;
    }

    Screen screen;
    screen.number = screen_;
    std::shared_ptr<SigObj> signing;
    std::shared_ptr<Hash> hash;
    std::string signer, reason;
    for (const ScreenObject& o : objects_) {
        if (o.type == 3) signing = std::dynamic_pointer_cast<SigObj>(o.data.object);
        if (o.type == 6) hash = std::dynamic_pointer_cast<Hash>(o.data.object);
        if (o.type == 0 && o.id == "who") signer = o.data.text;
        if (o.type == 0 && o.id == "why") reason = o.data.text;
        if (o.type == 6) continue;  // the hash is bound here, not drawn
        ScreenItem item{o.type, o.id, o.x, o.y, o.data.text, 0, o.font};
        if (o.type == 1 && o.options.type == Variant::Type::Int) item.option = o.options.number;
        screen.items.push_back(std::move(item));
    }
    const std::vector<uint8_t> message = EncodeShow(screen);
    if (message.empty()) return E_INVALIDARG;  // texts too long for one screen
    signing_ = signing;
    if (signing_)
        signing_->Begin(static_cast<uint16_t>(width_), static_cast<uint16_t>(height_),
                        hash ? static_cast<uint8_t>(hash->type) : 0, hash ? hash->value : std::vector<uint8_t>(),
                        signer, reason);
    const bool started =
        window_.Running() ||
        window_.Launch(program_, {SizeArgument({static_cast<uint16_t>(width_), static_cast<uint16_t>(height_)})});
    if (!started || !window_.Send(message)) {
        Lost();
        return E_FAIL;
    }
    shown_ = true;
    return S_OK;
}

void WizCtl::Press(const std::string& button) {
    if (signing_) {
        if (button == "Clear") signing_->Clear();
        if (button == "Ok") signing_->Accept();
    }
    if (!sink_) return;
    // The sink may remove itself while it runs.
    std::shared_ptr<PadSdk::IWizCtlEvents> sink = sink_;
    sink->Invoke(0, PadSdk::DISPATCH_METHOD, {Variant::Object(nullptr), Variant::Text(button), Variant::Int(1)});
}

// The window process is gone: the connection with it. A screen that was shown ends as the user's
// "Cancel" would; what the screen still had to say is lost with the display.
void WizCtl::Lost() {
    window_.Stop();
    connected_ = false;
    const bool wasShown = shown_;
    shown_ = false;
    if (wasShown) Press("Cancel");
}

bool WizCtl::Dispatch() {
    if (!window_.Running()) return false;
    std::vector<Message> messages;
    const bool running = window_.Receive(&messages);
    bool handled = false;
    for (const Message& message : messages) {
        handled = true;
        if (message.kind == MessageKind::Sample) {
            const auto sample = DecodeSample(message.payload);
            if (!sample || sample->screen != screen_ || !shown_ || !signing_) continue;
            // More samples than a capture keeps: the screen ends as at "Ok", and the signature object
            // answers that its signature is incomplete.
            const bool overflowed = signing_->Overflowed();
            signing_->AddSample(sample->sample);
            if (!overflowed && signing_->Overflowed()) Press("Ok");
        } else if (message.kind == MessageKind::Button) {
            const auto press = DecodeButton(message.payload);
            if (press && press->screen == screen_ && shown_) Press(press->id);
        }
    }
    if (!running) {
        Lost();
        handled = true;
    }
    return handled;
}

}  // namespace OnScreenPad
