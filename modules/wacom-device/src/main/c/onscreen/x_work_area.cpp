#include "x_work_area.h"

#include <xcb/xcb.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace OnScreenPad {
namespace {

struct Disconnect {
    void operator()(xcb_connection_t* x) const { xcb_disconnect(x); }
};
struct Free {
    void operator()(void* p) const { std::free(p); }
};
template <typename T>
using Reply = std::unique_ptr<T, Free>;

constexpr const char* WORKAREA = "_NET_WORKAREA";

}  // namespace

std::optional<Area> WorkAreaOfReply(const xcb_get_property_reply_t& reply) {
    // The reply's length counts the 4-byte units after its 32-byte head; the values follow the head.
    if (reply.format != 32 || reply.value_len < 4 || reply.length < 4) return std::nullopt;
    const auto* values = reinterpret_cast<const uint32_t*>(&reply + 1);
    if (values[2] == 0 || values[3] == 0) return std::nullopt;
    return Area{static_cast<int>(std::min<uint32_t>(values[2], 65535)),
                static_cast<int>(std::min<uint32_t>(values[3], 65535))};
}

std::optional<Area> XWorkArea() {
    int number = 0;
    // xcb_connect returns an object even when it fails: disconnecting it is still needed.
    std::unique_ptr<xcb_connection_t, Disconnect> x(xcb_connect(nullptr, &number));
    if (!x || xcb_connection_has_error(x.get())) return std::nullopt;
    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(x.get()));
    for (; screens.rem > 0 && number > 0; --number) xcb_screen_next(&screens);
    if (screens.rem <= 0) return std::nullopt;
    const xcb_screen_t& screen = *screens.data;
    Area area{screen.width_in_pixels, screen.height_in_pixels};

    const xcb_intern_atom_cookie_t name =
        xcb_intern_atom(x.get(), 1, static_cast<uint16_t>(std::strlen(WORKAREA)), WORKAREA);
    const Reply<xcb_intern_atom_reply_t> atom(xcb_intern_atom_reply(x.get(), name, nullptr));
    if (!atom || atom->atom == XCB_ATOM_NONE) return area;
    // One x, y, width, height per desktop; the first desktop's.
    const Reply<xcb_get_property_reply_t> property(xcb_get_property_reply(
        x.get(), xcb_get_property(x.get(), 0, screen.root, atom->atom, XCB_ATOM_CARDINAL, 0, 4), nullptr));
    const std::optional<Area> work = property ? WorkAreaOfReply(*property) : std::nullopt;
    if (work) {
        area.width = std::min(area.width, work->width);
        area.height = std::min(area.height, work->height);
    }
    return area;
}

}  // namespace OnScreenPad
