// GUI test support: a private Xvfb (display numbers 95 to 98, the first that is free) stopped by its
// PID on every path, and xdotool actions on the on-screen pad's window.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace padgui {

class Xvfb {
public:
    // screen: the server's screen as Xvfb takes it, "WIDTHxHEIGHTxDEPTH".
    explicit Xvfb(std::string screen = "1024x768x24") : screen_(std::move(screen)) {
        for (int number = 95; number <= 98 && display_.empty(); ++number) start(number);
    }
    ~Xvfb() { stop(); }
    Xvfb(const Xvfb&) = delete;
    Xvfb& operator=(const Xvfb&) = delete;

    bool ok() const { return !display_.empty(); }
    const std::string& display() const { return display_; }

private:
    void start(int number) {
        // Our own claim on the number: the server does not refuse a display that another server is
        // still starting on. The lock goes with this process, however it ends.
        const std::string lockPath = "/tmp/veldra-pad-display-" + std::to_string(number) + ".lock";
        lock_ = open(lockPath.c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0666);
        if (lock_ < 0) return;
        if (flock(lock_, LOCK_EX | LOCK_NB) != 0) {
            close(lock_);
            lock_ = -1;
            return;
        }
        int ready[2];
        if (pipe(ready) != 0) return stop();
        const std::string name = ":" + std::to_string(number);
        const std::string fd = std::to_string(ready[1]);
        std::vector<std::string> args = {"Xvfb", name, "-displayfd", fd, "-noreset", "-nolisten", "tcp",
                                         "-screen", "0", screen_};
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        pid_ = fork();
        if (pid_ == 0) {
            // The server ends with this process even when it dies without cleaning up.
            prctl(PR_SET_PDEATHSIG, SIGTERM);
            close(ready[0]);
            const int null = open("/dev/null", O_RDWR);
            dup2(null, 0);
            dup2(null, 1);
            dup2(null, 2);
            execvp("Xvfb", argv.data());
            _exit(127);
        }
        close(ready[1]);
        if (pid_ < 0) {
            close(ready[0]);
            return stop();
        }
        // Xvfb writes the display number and then a newline once it takes clients; an exit closes the
        // pipe. Read the whole line: the server stops when the pipe closes before its newline is written.
        std::string announcement;
        bool answered = false;
        while (!answered) {
            pollfd p{ready[0], POLLIN, 0};
            char c = 0;
            if (poll(&p, 1, 10000) != 1 || read(ready[0], &c, 1) != 1) break;
            if (c == '\n') answered = !announcement.empty();
            else announcement += c;
        }
        close(ready[0]);
        // Make sure a client gets through before the tests use it.
        for (int attempt = 0; answered && attempt < 100; ++attempt) {
            if (std::system(("DISPLAY=" + name + " xdpyinfo >/dev/null 2>&1").c_str()) == 0) {
                display_ = name;
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        stop();
    }
    void stop() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            int status = 0;
            waitpid(pid_, &status, 0);
            pid_ = -1;
        }
        if (lock_ >= 0) close(lock_);
        lock_ = -1;
    }

    std::string screen_;
    pid_t pid_ = -1;
    int lock_ = -1;
    std::string display_;
};

// Runs a shell command line with DISPLAY set; its exit code.
inline int run(const std::string& display, const std::string& command) {
    return std::system(("DISPLAY=" + display + " timeout 15 " + command + " >/dev/null 2>&1").c_str());
}

// The pad window's id once it is shown (waits up to 10 s); empty if it never appears.
inline std::string find_pad_window(const std::string& display) {
    const std::string command =
        "DISPLAY=" + display + " timeout 10 xdotool search --sync --onlyvisible --name '^Signature pad$' 2>/dev/null";
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
    return run(display, "xdotool mousemove --window " + window + " " + std::to_string(p.x) + " " +
                            std::to_string(p.y) + " sleep 0.05 click 1") == 0;
}

// Button centres on the 800 x 480 screen (bottom row: "Cancel" left, "Clear" centre, "Ok" right).
constexpr Point CANCEL_800{65, 450};
constexpr Point CLEAR_800{400, 450};
constexpr Point OK_800{735, 450};

}  // namespace padgui
