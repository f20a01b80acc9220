// The work area of the X display named by DISPLAY, asked of the X server itself: a connection and a
// property read, without the toolkit's start-up. The pad's screen size is picked from it.
#pragma once

#include <optional>

namespace OnScreenPad {

struct Area {
    int width = 0;
    int height = 0;
};

// The default screen's size, narrowed to the window manager's work area (_NET_WORKAREA) when it
// announces one; nullopt when no X server answers.
std::optional<Area> XWorkArea();

}  // namespace OnScreenPad
