// The pad window (the window process's one job): a window the size of a pad screen that shows the
// screen objects sent by the module, captures strokes from mouse, touch or pen in the signing area
// and reports them and the touches of its buttons back (pad_window_protocol.h).
#pragma once

#include <gtk/gtk.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "pad_window_protocol.h"

namespace OnScreenPad {

class PadWindow {
public:
    // channel: the socket to the module; written to, never closed here.
    explicit PadWindow(int channel) : channel_(channel) {}
    ~PadWindow();
    PadWindow(const PadWindow&) = delete;
    PadWindow& operator=(const PadWindow&) = delete;

    // Opens the display; the pad screen is size, or without one the largest that fits the display.
    // false without a display.
    bool Open(std::optional<PadScreen> size);
    int Width() const { return width_; }
    int Height() const { return height_; }

    // Shows a screen in place of the one before.
    void Show(Screen screen);
    // The screen is empty: the window is hidden.
    void Hide();
    // false once a message could not be written (the module is gone).
    bool Connected() const { return connected_; }

private:
    struct Box {
        double x = 0, y = 0, w = 0, h = 0;
        bool contains(double px, double py) const { return px >= x && px < x + w && py >= y && py < y + h; }
    };
    struct ScreenObject {
        ScreenItem item;
        Box box;  // where it is drawn (texts and buttons)
    };

    void Layout();
    void FitButtonRows(double margin);
    void EnsureWindow();
    void Draw(cairo_t* cr);
    void Press(const std::string& button);
    void AddSample(GdkEvent* event, double x, double y, bool down);
    const ScreenObject* ButtonAt(double x, double y) const;
    void Send(const std::vector<uint8_t>& message);

    static gboolean on_draw(GtkWidget*, cairo_t* cr, gpointer self);
    static gboolean on_button_press(GtkWidget*, GdkEventButton* event, gpointer self);
    static gboolean on_button_release(GtkWidget*, GdkEventButton* event, gpointer self);
    static gboolean on_motion(GtkWidget*, GdkEventMotion* event, gpointer self);
    static gboolean on_delete(GtkWidget*, GdkEvent*, gpointer self);
    static void on_destroy(GtkWidget* widget, gpointer self);

    int channel_;
    bool connected_ = true;
    int width_ = 0, height_ = 0;
    uint32_t screen_ = 0;
    std::vector<ScreenObject> objects_;
    bool signing_ = false;     // the screen has a signing area
    std::vector<Sample> ink_;  // the strokes drawn on this screen, as sent
    GtkWidget* window_ = nullptr;
    GtkWidget* area_ = nullptr;
    bool inking_ = false;
    std::string pressed_;  // the button under the pointer since the press
    gint64 shownAt_ = 0;   // microseconds, monotonic
};

}  // namespace OnScreenPad
