// The on-screen pad's wizard control: a window the size of a pad screen that shows the screen
// objects added to it, captures strokes from mouse, touch or pen into the signing area's signature
// object, and reports touches of its buttons to the event sink.
#pragma once

#include <gtk/gtk.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "onscreen_objects.h"
#include "pad_sdk.h"

namespace OnScreenPad {

class WizCtl : public PadSdk::IWizCtl {
public:
    ~WizCtl() override;

    // Connected means the display could be opened. The screen is the largest pad screen that fits.
    HRESULT Connect(bool* connected) override;
    HRESULT PadWidth(int16_t* width) override;
    HRESULT PadHeight(int16_t* height) override;
    HRESULT Disconnect() override;
    HRESULT Reset() override;
    HRESULT SetFont(const PadSdk::Font& font) override;
    HRESULT AddObject(int32_t type, const std::optional<std::string>& id, const PadSdk::Variant& x,
                      const PadSdk::Variant& y, const PadSdk::Variant& data, const PadSdk::Variant& options) override;
    HRESULT SetEventHandler(std::shared_ptr<PadSdk::IWizCtlEvents> sink) override;
    // Shows the composed screen; an empty screen hides the window.
    HRESULT Display() override;

private:
    struct Box {
        double x = 0, y = 0, w = 0, h = 0;
        bool contains(double px, double py) const { return px >= x && px < x + w && py >= y && py < y + h; }
    };
    struct ScreenObject {
        int32_t type;
        std::string id;
        PadSdk::Variant x, y, data, options;
        PadSdk::Font font;
        Box box;  // where it is drawn (texts and buttons)
    };

    void Layout();
    void FitButtonRows(double margin);
    void EnsureWindow();
    void Draw(cairo_t* cr);
    void Press(const std::string& button);
    void AddSample(GdkEvent* event, double x, double y, bool down);
    const ScreenObject* ButtonAt(double x, double y) const;

    static gboolean on_draw(GtkWidget*, cairo_t* cr, gpointer self);
    static gboolean on_button_press(GtkWidget*, GdkEventButton* event, gpointer self);
    static gboolean on_button_release(GtkWidget*, GdkEventButton* event, gpointer self);
    static gboolean on_motion(GtkWidget*, GdkEventMotion* event, gpointer self);
    static gboolean on_delete(GtkWidget*, GdkEvent*, gpointer self);
    static void on_destroy(GtkWidget* widget, gpointer self);

    bool connected_ = false;
    int width_ = 0, height_ = 0;
    PadSdk::Font font_;
    std::vector<ScreenObject> objects_;
    std::shared_ptr<PadSdk::IWizCtlEvents> sink_;
    std::shared_ptr<SigObj> signing_;  // the signature object of the signing area while shown
    GtkWidget* window_ = nullptr;
    GtkWidget* area_ = nullptr;
    bool inking_ = false;
    std::string pressed_;  // the button under the pointer since the press
    gint64 shownAt_ = 0;   // microseconds, monotonic
};

}  // namespace OnScreenPad
