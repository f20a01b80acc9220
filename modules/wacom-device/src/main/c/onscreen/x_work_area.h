// The work area of the X display named by DISPLAY, asked of the X server itself: a connection and a
// property read, without the toolkit's start-up. The pad's screen size is picked from it.
#pragma once

#include <xcb/xproto.h>

#include <optional>

namespace OnScreenPad {

struct Area {
    int width = 0;
    int height = 0;
};

// The default screen's size, narrowed to the window manager's work area (_NET_WORKAREA) when it
// announces one; nullopt when no X server answers.
std::optional<Area> XWorkArea();

// The first desktop's width and height in a _NET_WORKAREA property reply (32-bit x, y, width,
// height), read no further than the reply's own length reaches, whatever its value_len claims;
// nullopt when it holds no such area.
std::optional<Area> WorkAreaOfReply(const xcb_get_property_reply_t& reply);

}  // namespace OnScreenPad
