// Times the on-screen pad's start through the host on a private Xvfb beside the PIN dialog's, both
// measured the same way: from the moment the request has been written until the host's window is
// mapped (polled through the X server's map events on the root window; the window is then closed as
// a window manager would, which each answers as cancelled). The pad's request is a
// COMPUTE_SIGNATURE_IMAGE, the dialog's a VERIFY_PIN without a PIN on the plain virtual reader, with
// pinentry-gtk-2 as the dialog (the dialog is timed only when a card is there: run under
// scripts/virtual-reader run). The two alternate, so that a busy moment of the machine hits both
// alike. Also whole GET_PADS round trips until the answer has arrived. Prints the medians, the least
// and greatest times, and the pad's median over the dialog's (targets: the window within 100 ms and
// within 1.2 times the dialog's, GET_PADS within 15 ms).
//
//   veldra-bench-pad-start [ROUNDS [HOST]]      (default 20 rounds, the host of this build)
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "child_process.h"
#include "xvfb.h"

namespace {

using Clock = std::chrono::steady_clock;

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

double ms_since(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "pad-start: %s\n", what);
    std::exit(1);
}

xcb_atom_t atom(xcb_connection_t* x, const char* name) {
    xcb_intern_atom_reply_t* reply =
        xcb_intern_atom_reply(x, xcb_intern_atom(x, 0, static_cast<uint16_t>(std::strlen(name)), name), nullptr);
    const xcb_atom_t value = reply ? reply->atom : static_cast<xcb_atom_t>(XCB_ATOM_NONE);
    std::free(reply);
    return value;
}

// The next top-level window mapped on the display, waiting at most 10 s; 0 when none was, or when
// the host's output (host_output) ended first: it answered without a window.
xcb_window_t next_mapped(xcb_connection_t* x, int host_output) {
    const auto until = Clock::now() + std::chrono::seconds(10);
    while (Clock::now() < until) {
        while (xcb_generic_event_t* event = xcb_poll_for_event(x)) {
            const bool mapped = (event->response_type & 0x7f) == XCB_MAP_NOTIFY;
            const xcb_window_t window = mapped ? reinterpret_cast<xcb_map_notify_event_t*>(event)->window : 0;
            std::free(event);
            if (mapped) return window;
        }
        pollfd p[2]{{xcb_get_file_descriptor(x), POLLIN, 0}, {host_output, POLLIN, 0}};
        if (poll(p, 2, 10) > 0 && (p[1].revents & (POLLIN | POLLHUP)) && !(p[0].revents & POLLIN)) return 0;
    }
    return 0;
}

// The window manager's close: the pad answers it as "Cancel".
void close_window(xcb_connection_t* x, xcb_window_t window) {
    xcb_client_message_event_t message{};
    message.response_type = XCB_CLIENT_MESSAGE;
    message.format = 32;
    message.window = window;
    message.type = atom(x, "WM_PROTOCOLS");
    message.data.data32[0] = atom(x, "WM_DELETE_WINDOW");
    message.data.data32[1] = XCB_CURRENT_TIME;
    xcb_send_event(x, 0, window, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char*>(&message));
    xcb_flush(x);
}

// A request that opens a window of the host's, and the error code of its answer once the window is
// closed.
struct Prompt {
    const char* request;
    const char* cancelled;  // "\"code\":N" of the answer to a closed window
};

const Prompt PAD{R"({"cmd":"COMPUTE_SIGNATURE_IMAGE","pad":"Wacom","hash":"","signer":"A","reason":"B"})",
                 "\"code\":23"};
const Prompt DIALOG{R"({"cmd":"VERIFY_PIN","reader":"Veldra Virtual Reader 00 00","entry_title":"Bench"})",
                    "\"code\":9"};

// One request: milliseconds from the request written to the window mapped; a negative number when
// the host answered without a window (the dialog without a card).
double window_start(xcb_connection_t* x, const std::string& host, const Prompt& prompt) {
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) fail("pipe");
    const pid_t child = fork();
    if (child == 0) {
        dup2(in[0], STDIN_FILENO);
        dup2(out[1], STDOUT_FILENO);
        const int devnull = open("/dev/null", O_WRONLY);
        dup2(devnull, STDERR_FILENO);
        execl(host.c_str(), host.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    if (child < 0) fail("fork");
    const std::string request = frame_text(prompt.request);
    const auto start = Clock::now();
    if (write(in[1], request.data(), request.size()) != static_cast<ssize_t>(request.size())) fail("write");
    close(in[1]);
    const xcb_window_t window = next_mapped(x, out[0]);
    const double elapsed = ms_since(start);
    if (window) close_window(x, window);
    std::string output;
    char buffer[4096];
    for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) != 0;) {
        if (n > 0) output.append(buffer, static_cast<size_t>(n));
        else if (errno != EINTR) break;
    }
    close(out[0]);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {}
    std::string answer;
    const bool cancelled = unframe_text(output, answer) && answer.find(prompt.cancelled) != std::string::npos;
    if (window && !cancelled) fail(("the window's close was not answered as cancelled: " + answer).c_str());
    return window ? elapsed : -1;
}

double get_pads(const std::string& host) {
    // The host's log lines (its standard error, which the child inherits) are not the figures.
    const int saved = dup(STDERR_FILENO);
    const int quiet = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (saved < 0 || quiet < 0 || dup2(quiet, STDERR_FILENO) < 0) fail("/dev/null");
    close(quiet);
    const ChildResult run = run_child(host, {}, frame_text(R"({"cmd":"GET_PADS"})"));
    dup2(saved, STDERR_FILENO);
    close(saved);
    std::string answer;
    if (!run.started || run.exit_code != 0 || !unframe_text(run.output, answer) ||
        answer.find("\"width\":800") == std::string::npos)
        fail(("GET_PADS did not list the pad: " + answer).c_str());
    return run.answer_ms;
}

struct Figures {
    std::vector<double> values;
    void print(const char* name, const char* target) const {
        if (values.empty()) {
            std::printf("  %-45s -\n", name);
            return;
        }
        std::printf("  %-45s median %7.2f ms  (%.2f-%.2f%s)\n", name, median(values),
                    *std::min_element(values.begin(), values.end()), *std::max_element(values.begin(), values.end()),
                    target);
    }
};

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
    const std::string host = argc > 2 ? argv[2] : VELDRA_BENCH_HOST;
    signal(SIGPIPE, SIG_IGN);
    guitest::Xvfb xvfb;
    if (!xvfb.ok()) fail(xvfb.error().c_str());
    char home[] = "/tmp/veldra-pad-start-XXXXXX";
    if (!mkdtemp(home)) fail("mkdtemp");
    // The PIN dialog: pinentry-gtk-2, first on the host's PATH.
    const std::string bin = std::string(home) + "/bin";
    std::filesystem::create_directory(bin);
    std::error_code linked;
    std::filesystem::create_symlink("/usr/bin/pinentry-gtk-2", bin + "/pinentry", linked);
    const char* path = std::getenv("PATH");
    setenv("PATH", (bin + ":" + (path ? path : "/usr/bin:/bin")).c_str(), 1);
    setenv("DISPLAY", xvfb.display().c_str(), 1);
    setenv("HOME", home, 1);
    setenv("XDG_DATA_HOME", home, 1);
    setenv("NO_AT_BRIDGE", "1", 1);
    unsetenv("WAYLAND_DISPLAY");

    xcb_connection_t* x = xcb_connect(xvfb.display().c_str(), nullptr);
    if (xcb_connection_has_error(x)) fail("no X connection");
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(x)).data->root;
    const uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
    xcb_change_window_attributes(x, root, XCB_CW_EVENT_MASK, &mask);
    xcb_flush(x);

    // First uses: not timed. The dialog is timed only when it came up.
    get_pads(host);
    if (window_start(x, host, PAD) < 0) fail("the pad window did not appear");
    const bool dialog = window_start(x, host, DIALOG) >= 0;
    Figures pads, dialogs, lists;
    for (int i = 0; i < rounds; ++i) {
        const double pad = window_start(x, host, PAD);
        if (pad < 0) fail("the pad window did not appear");
        pads.values.push_back(pad);
        if (dialog) {
            const double shown = window_start(x, host, DIALOG);
            if (shown < 0) fail("the PIN dialog did not appear");
            dialogs.values.push_back(shown);
        }
        lists.values.push_back(get_pads(host));
    }
    xcb_disconnect(x);
    std::filesystem::remove_all(home);
    std::printf("pad start, %d rounds, host %s\n", rounds, host.c_str());
    std::printf("  request to window mapped\n");
    pads.print("on-screen pad (COMPUTE_SIGNATURE_IMAGE)", "; target <= 100");
    dialogs.print("PIN dialog (VERIFY_PIN, pinentry-gtk-2)", "");
    if (dialog)
        std::printf("  %-45s %.2f  (target <= 1.2)\n", "pad / dialog, medians",
                    median(pads.values) / median(dialogs.values));
    else std::printf("  (no PIN dialog: no card in the plain virtual reader; run under scripts/virtual-reader run)\n");
    lists.print("GET_PADS round trip", "; target <= 15");
    return 0;
}
