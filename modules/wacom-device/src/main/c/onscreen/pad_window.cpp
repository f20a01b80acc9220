#include "pad_window.h"

#include <fontconfig/fontconfig.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <thread>

#include "i18n.h"

namespace OnScreenPad {

using PadSdk::Variant;

namespace {

// The bus address under which D-Bus clients neither connect nor start a bus.
constexpr const char* NO_SESSION_BUS = "disabled:";

// The toolkit theme compiled into this program (pad_window_theme.css): empty, since the drawing area
// paints the whole window. The toolkit finds a theme among its resources before any file.
constexpr const char* THEME = "VeldraPad";

// Strokes kept for drawing: some minutes of pen input at the fastest event rates.
constexpr size_t MAX_INK = 1 << 20;

// The room kept free on each side of a button's caption.
constexpr double BUTTON_PADDING = 4;

double pixels_of(const PadSdk::Font& font) { return font.size / 10000.0 * 96.0 / 72.0; }

void use_font(cairo_t* cr, const PadSdk::Font& font) {
    cairo_select_font_face(cr, font.face.c_str(), font.italic ? CAIRO_FONT_SLANT_ITALIC : CAIRO_FONT_SLANT_NORMAL,
                           font.weight >= 600 ? CAIRO_FONT_WEIGHT_BOLD : CAIRO_FONT_WEIGHT_NORMAL);
    cairo_set_font_size(cr, std::max(1.0, pixels_of(font)));
}

// A coordinate from a number or a keyword; near/middle/far for left/centre/right or top/middle/bottom.
double place(const Variant& where, double extent, double screen, double margin, const char* near, const char* far) {
    if (where.type == Variant::Type::Int) return where.number;
    if (where.type != Variant::Type::Text) return 0;
    if (where.text == near) return margin;
    if (where.text == far) return screen - extent - margin;
    return (screen - extent) / 2;  // "centre", "center", "middle"
}

}  // namespace

PadWindow::~PadWindow() {
    GtkWidget* window = window_;
    window_ = area_ = nullptr;
    if (window) gtk_widget_destroy(window);
}

bool PadWindow::Open(std::optional<PadScreen> size) {
    // Without a session bus, GTK's start-up runs "dbus-launch --autolaunch" to get one; the pad uses
    // no bus, so none is looked for.
    if (!g_getenv("DBUS_SESSION_BUS_ADDRESS")) g_setenv("DBUS_SESSION_BUS_ADDRESS", NO_SESSION_BUS, FALSE);
    // The desktop's theme (Adwaita: 170 KB of style sheet, a fifth of the start's time) would style
    // nothing the user sees.
    g_setenv("GTK_THEME", THEME, TRUE);
    // The font configuration (some 70 files, most of the first layout's time) is read while the
    // toolkit starts.
    std::thread fonts([] { FcInit(); });
    const bool opened = gtk_init_check(nullptr, nullptr);
    fonts.join();
    if (!opened) return false;
    if (!size) {
        GdkDisplay* display = gdk_display_get_default();
        GdkMonitor* monitor = display ? gdk_display_get_primary_monitor(display) : nullptr;
        if (!monitor && display) monitor = gdk_display_get_monitor(display, 0);
        GdkRectangle area{0, 0, 800, 480};
        if (monitor) gdk_monitor_get_workarea(monitor, &area);
        size = PadScreenFitting(area.width, area.height);
    }
    width_ = size->width;
    height_ = size->height;
    return true;
}

void PadWindow::Send(const std::vector<uint8_t>& message) {
    size_t sent = 0;
    while (connected_ && sent < message.size()) {
        const ssize_t n = send(channel_, message.data() + sent, message.size() - sent, MSG_NOSIGNAL);
        if (n > 0) sent += static_cast<size_t>(n);
        else if (n < 0 && errno == EINTR) continue;
        else connected_ = false;
    }
}

void PadWindow::Layout() {
    cairo_surface_t* scratch = cairo_image_surface_create(CAIRO_FORMAT_RGB24, 1, 1);
    cairo_t* cr = cairo_create(scratch);
    const double margin = height_ < 200 ? 3 : 10;
    for (ScreenObject& o : objects_) {
        if (o.item.type != 0 && o.item.type != 1) continue;
        use_font(cr, o.item.font);
        cairo_text_extents_t extents;
        cairo_text_extents(cr, o.item.caption.c_str(), &extents);
        cairo_font_extents_t font;
        cairo_font_extents(cr, &font);
        double w = extents.x_advance, h = font.ascent + font.descent;
        if (o.item.type == 1) {
            w = o.item.option > 0 ? o.item.option : w + 20;
            h += height_ < 200 ? 6 : 16;
        }
        o.box = {place(o.item.x, w, width_, margin, "left", "right"),
                 place(o.item.y, h, height_, margin, "top", "bottom"), w, h};
    }
    FitButtonRows(margin);
    cairo_destroy(cr);
    cairo_surface_destroy(scratch);
}

// Buttons that share a row (their boxes overlap vertically) and do not fit side by side with a
// margin around each are narrowed to share the width equally, and placed again; where a button is
// drawn is where it is hit.
void PadWindow::FitButtonRows(double margin) {
    std::vector<ScreenObject*> buttons;
    for (ScreenObject& o : objects_)
        if (o.item.type == 1) buttons.push_back(&o);
    for (ScreenObject* first : buttons) {
        std::vector<ScreenObject*> row;
        double total = 0;
        for (ScreenObject* o : buttons)
            if (o->box.y < first->box.y + first->box.h && first->box.y < o->box.y + o->box.h) {
                row.push_back(o);
                total += o->box.w;
            }
        const double room = width_ - margin * static_cast<double>(row.size() + 1);
        if (row.size() < 2 || total + margin * static_cast<double>(row.size() + 1) <= width_ || room <= 0) continue;
        const double share = room / static_cast<double>(row.size());
        for (ScreenObject* o : row) {
            o->box.w = std::min(o->box.w, share);
            o->box.x = place(o->item.x, o->box.w, width_, margin, "left", "right");
        }
    }
}

void PadWindow::EnsureWindow() {
    if (window_) return;
    window_ = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_title(GTK_WINDOW(window_), _("Signature pad"));
    gtk_window_set_resizable(GTK_WINDOW(window_), FALSE);
    gtk_window_set_position(GTK_WINDOW(window_), GTK_WIN_POS_CENTER);
    area_ = gtk_drawing_area_new();
    gtk_widget_set_size_request(area_, width_, height_);
    gtk_widget_add_events(area_, GDK_BUTTON_PRESS_MASK | GDK_BUTTON_RELEASE_MASK | GDK_POINTER_MOTION_MASK);
    gtk_container_add(GTK_CONTAINER(window_), area_);
    g_signal_connect(area_, "draw", G_CALLBACK(on_draw), this);
    g_signal_connect(area_, "button-press-event", G_CALLBACK(on_button_press), this);
    g_signal_connect(area_, "button-release-event", G_CALLBACK(on_button_release), this);
    g_signal_connect(area_, "motion-notify-event", G_CALLBACK(on_motion), this);
    g_signal_connect(window_, "delete-event", G_CALLBACK(on_delete), this);
    g_signal_connect(window_, "destroy", G_CALLBACK(on_destroy), this);
}

void PadWindow::Hide() {
    objects_.clear();
    signing_ = false;
    ink_.clear();
    inking_ = false;
    pressed_.clear();
    if (window_) gtk_widget_hide(window_);
}

void PadWindow::Show(Screen screen) {
    inking_ = false;
    pressed_.clear();
    ink_.clear();
    screen_ = screen.number;
    objects_.clear();
    signing_ = false;
    for (ScreenItem& item : screen.items) {
        if (item.type == 3) signing_ = true;
        objects_.push_back({std::move(item), {}});
    }
    if (objects_.empty()) return Hide();
    Layout();
    shownAt_ = g_get_monotonic_time();
    EnsureWindow();
    gtk_widget_show_all(window_);
    gtk_window_present(GTK_WINDOW(window_));
    gtk_widget_queue_draw(area_);
}

void PadWindow::Draw(cairo_t* cr) {
    cairo_set_source_rgb(cr, 1, 1, 1);
    cairo_paint(cr);
    for (const ScreenObject& o : objects_) {
        if (o.item.type != 0 && o.item.type != 1) continue;
        use_font(cr, o.item.font);
        double textX = o.box.x;
        if (o.item.type == 1) {
            cairo_set_source_rgb(cr, 0.88, 0.88, 0.88);
            cairo_rectangle(cr, o.box.x, o.box.y, o.box.w, o.box.h);
            cairo_fill_preserve(cr);
            cairo_set_source_rgb(cr, 0.3, 0.3, 0.3);
            cairo_set_line_width(cr, 1);
            cairo_stroke(cr);
            // A caption wider than its button (a longer word in another language) is drawn smaller.
            cairo_text_extents_t extents;
            cairo_text_extents(cr, o.item.caption.c_str(), &extents);
            const double room = o.box.w - 2 * BUTTON_PADDING;
            if (extents.x_advance > room && room > 0) {
                cairo_set_font_size(cr, std::max(1.0, pixels_of(o.item.font) * room / extents.x_advance));
                cairo_text_extents(cr, o.item.caption.c_str(), &extents);
            }
            textX = o.box.x + (o.box.w - extents.x_advance) / 2;
        }
        cairo_font_extents_t font;
        cairo_font_extents(cr, &font);
        cairo_set_source_rgb(cr, 0, 0, 0);
        cairo_move_to(cr, textX, o.box.y + (o.box.h - font.ascent - font.descent) / 2 + font.ascent);
        cairo_show_text(cr, o.item.caption.c_str());
    }
    if (!signing_) return;
    cairo_set_source_rgb(cr, 0, 0, 0.4);
    cairo_set_line_width(cr, 2.5);
    cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
    cairo_set_line_join(cr, CAIRO_LINE_JOIN_ROUND);
    bool down = false;
    for (const Sample& s : ink_) {
        if (s.pressure == 0) {
            down = false;
            continue;
        }
        if (down) cairo_line_to(cr, s.x, s.y);
        else {
            cairo_move_to(cr, s.x, s.y);
            cairo_line_to(cr, s.x, s.y);
        }
        down = true;
    }
    cairo_stroke(cr);
}

const PadWindow::ScreenObject* PadWindow::ButtonAt(double x, double y) const {
    for (const ScreenObject& o : objects_)
        if (o.item.type == 1 && o.box.contains(x, y)) return &o;
    return nullptr;
}

void PadWindow::AddSample(GdkEvent* event, double x, double y, bool down) {
    if (!signing_) return;
    Sample s;
    s.x = static_cast<uint16_t>(std::clamp(std::lround(x), 0L, static_cast<long>(width_ - 1)));
    s.y = static_cast<uint16_t>(std::clamp(std::lround(y), 0L, static_cast<long>(height_ - 1)));
    double pressure = 1.0;  // a mouse or a touch screen reports none: full pressure
    if (down && gdk_event_get_axis(event, GDK_AXIS_PRESSURE, &pressure)) pressure = std::clamp(pressure, 0.0, 1.0);
    s.pressure = down ? static_cast<uint16_t>(std::max(1L, std::lround(pressure * MAX_PRESSURE))) : 0;
    s.time = static_cast<uint32_t>((g_get_monotonic_time() - shownAt_) / 1000);
    if (ink_.size() < MAX_INK) ink_.push_back(s);
    Send(EncodeSample({screen_, s}));
    if (area_) gtk_widget_queue_draw(area_);
}

void PadWindow::Press(const std::string& button) {
    if (button == "Clear") {
        ink_.clear();
        if (area_) gtk_widget_queue_draw(area_);
    }
    Send(EncodeButton({screen_, button}));
}

gboolean PadWindow::on_draw(GtkWidget*, cairo_t* cr, gpointer self) {
    static_cast<PadWindow*>(self)->Draw(cr);
    return TRUE;
}

gboolean PadWindow::on_button_press(GtkWidget*, GdkEventButton* event, gpointer data) {
    auto* self = static_cast<PadWindow*>(data);
    if (event->button != 1 || event->type != GDK_BUTTON_PRESS) return TRUE;
    if (const ScreenObject* button = self->ButtonAt(event->x, event->y)) {
        self->pressed_ = button->item.id;
    } else if (self->signing_) {
        self->inking_ = true;
        self->AddSample(reinterpret_cast<GdkEvent*>(event), event->x, event->y, true);
    }
    return TRUE;
}

gboolean PadWindow::on_motion(GtkWidget*, GdkEventMotion* event, gpointer data) {
    auto* self = static_cast<PadWindow*>(data);
    if (self->inking_ && (event->state & GDK_BUTTON1_MASK))
        self->AddSample(reinterpret_cast<GdkEvent*>(event), event->x, event->y, true);
    return TRUE;
}

gboolean PadWindow::on_button_release(GtkWidget*, GdkEventButton* event, gpointer data) {
    auto* self = static_cast<PadWindow*>(data);
    if (event->button != 1) return TRUE;
    if (self->inking_) {
        self->AddSample(reinterpret_cast<GdkEvent*>(event), event->x, event->y, true);
        self->AddSample(reinterpret_cast<GdkEvent*>(event), event->x, event->y, false);
        self->inking_ = false;
    }
    const std::string pressed = std::move(self->pressed_);
    self->pressed_.clear();
    const ScreenObject* button = self->ButtonAt(event->x, event->y);
    if (!pressed.empty() && button && button->item.id == pressed) self->Press(pressed);
    return TRUE;
}

// Closing the window is the user's way of saying no.
gboolean PadWindow::on_delete(GtkWidget*, GdkEvent*, gpointer data) {
    static_cast<PadWindow*>(data)->Press("Cancel");
    return TRUE;
}

// A window destroyed from outside (a window manager's close-and-kill, xkill): forgotten at once, and
// answered as "Cancel" while a screen is shown. A later screen makes a new window.
void PadWindow::on_destroy(GtkWidget* widget, gpointer data) {
    auto* self = static_cast<PadWindow*>(data);
    if (widget != self->window_) return;  // our own destructor
    self->window_ = self->area_ = nullptr;
    self->inking_ = false;
    self->pressed_.clear();
    if (!self->objects_.empty()) self->Press("Cancel");
}

}  // namespace OnScreenPad
