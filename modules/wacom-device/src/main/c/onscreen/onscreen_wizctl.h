// The on-screen pad's wizard control: keeps the screen objects added to it and shows them in the
// pad window, a process of its own (pad_window_process.h) so that a lost display ends that process
// and never this one. Pen samples from the window go into the signing area's signature object,
// button presses to the event sink.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "onscreen_objects.h"
#include "pad_sdk.h"
#include "pad_window_process.h"

namespace OnScreenPad {

class WizCtl : public PadSdk::IWizCtl {
public:
    // program: the pad window's program (WindowProgramPath()).
    explicit WizCtl(std::string program) : program_(std::move(program)) {}
    ~WizCtl() override;

    // Connected means the X server answered (or, without one, the window process could open its
    // display). The screen is the largest pad screen that fits its work area.
    HRESULT Connect(bool* connected) override;
    HRESULT PadWidth(int16_t* width) override;
    HRESULT PadHeight(int16_t* height) override;
    HRESULT Disconnect() override;
    HRESULT Reset() override;
    HRESULT SetFont(const PadSdk::Font& font) override;
    HRESULT AddObject(int32_t type, const std::optional<std::string>& id, const PadSdk::Variant& x,
                      const PadSdk::Variant& y, const PadSdk::Variant& data, const PadSdk::Variant& options) override;
    HRESULT SetEventHandler(std::shared_ptr<PadSdk::IWizCtlEvents> sink) override;
    // Shows the composed screen, starting the window process for the first one; an empty screen
    // hides the window. E_FAIL once the window is lost.
    HRESULT Display() override;

    // The window process's socket while connected, -1 otherwise.
    int Descriptor() const { return window_.Descriptor(); }
    // Handles what the window sent. A window process that ended (its display lost) ends the
    // connection: a screen shown then is answered as "Cancel", and Display fails from then on.
    // true if anything was handled.
    bool Dispatch();

private:
    struct ScreenObject {
        int32_t type;
        std::string id;
        PadSdk::Variant x, y, data, options;
        PadSdk::Font font;
    };

    void Press(const std::string& button);
    void Lost();

    std::string program_;
    PadWindowProcess window_;
    bool connected_ = false;
    int width_ = 0, height_ = 0;
    PadSdk::Font font_;
    std::vector<ScreenObject> objects_;
    std::shared_ptr<PadSdk::IWizCtlEvents> sink_;
    std::shared_ptr<SigObj> signing_;  // the signature object of the signing area while shown
    uint32_t screen_ = 0;              // the number of the screen last shown
    bool shown_ = false;               // a screen with objects is shown
};

}  // namespace OnScreenPad
