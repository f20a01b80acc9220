// GUI test support: a private Xvfb (tests/support/xvfb.h) and xdotool actions on the on-screen pad's
// window.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "xvfb.h"

namespace padgui {

using Xvfb = guitest::Xvfb;

// Runs a shell command line with DISPLAY set; its exit code.
inline int run(const std::string& display, const std::string& command) {
    return std::system(("DISPLAY=" + display + " timeout 15 " + command + " >/dev/null 2>&1").c_str());
}

// The pad window's id once it is shown (waits up to 10 s); empty if it never appears. title: the
// window's title in the language of the test (a plain text).
inline std::string find_pad_window(const std::string& display, const std::string& title = "Signature pad") {
    const std::string command =
        "DISPLAY=" + display + " timeout 10 xdotool search --sync --onlyvisible --name '^" + title + "$' 2>/dev/null";
    FILE* out = popen(command.c_str(), "r");
    if (!out) return {};
    char line[64] = {};
    const bool got = std::fgets(line, sizeof line, out) != nullptr;
    pclose(out);
    std::string id = got ? line : "";
    while (!id.empty() && (id.back() == '\n' || id.back() == '\r')) id.pop_back();
    return id;
}

struct Point {
    int x, y;
};

// A stroke through the points (window coordinates), pen down at the first, up at the last.
inline bool draw(const std::string& display, const std::string& window, const std::vector<Point>& points) {
    std::string command = "xdotool";
    for (size_t i = 0; i < points.size(); ++i) {
        command += " mousemove --window " + window + " " + std::to_string(points[i].x) + " " +
                   std::to_string(points[i].y) + " sleep 0.03";
        if (i == 0) command += " mousedown 1 sleep 0.03";
    }
    command += " mouseup 1";
    return run(display, command) == 0;
}

inline bool click(const std::string& display, const std::string& window, Point p) {
    return run(display, "xdotool mousemove --window " + window + " " + std::to_string(p.x) + " " + std::to_string(p.y) +
                            " sleep 0.05 click 1") == 0;
}

// Button centres on the 800 x 480 screen (bottom row: "Cancel" left, "Clear" centre, "Ok" right).
constexpr Point CANCEL_800{65, 450};
constexpr Point CLEAR_800{400, 450};
constexpr Point OK_800{735, 450};

}  // namespace padgui
