// Times the on-screen pad's start through the host on a private Xvfb: from the moment a
// COMPUTE_SIGNATURE_IMAGE request has been written until the pad window is mapped (the user then
// closes it: answered as cancelled), and whole GET_PADS round trips until the answer has arrived.
// Prints the medians (targets: the window within 100 ms, GET_PADS within 15 ms).
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

// The next top-level window mapped on the display, waiting at most 10 s; 0 when none was.
xcb_window_t next_mapped(xcb_connection_t* x) {
    const auto until = Clock::now() + std::chrono::seconds(10);
    while (Clock::now() < until) {
        while (xcb_generic_event_t* event = xcb_poll_for_event(x)) {
            const bool mapped = (event->response_type & 0x7f) == XCB_MAP_NOTIFY;
            const xcb_window_t window = mapped ? reinterpret_cast<xcb_map_notify_event_t*>(event)->window : 0;
            std::free(event);
            if (mapped) return window;
        }
        pollfd p{xcb_get_file_descriptor(x), POLLIN, 0};
        poll(&p, 1, 10);
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

// One COMPUTE_SIGNATURE_IMAGE: milliseconds from the request written to the window mapped.
double window_start(xcb_connection_t* x, const std::string& host) {
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
    const std::string request =
        frame_text(R"({"cmd":"COMPUTE_SIGNATURE_IMAGE","pad":"Wacom","hash":"","signer":"A","reason":"B"})");
    const auto start = Clock::now();
    if (write(in[1], request.data(), request.size()) != static_cast<ssize_t>(request.size())) fail("write");
    close(in[1]);
    const xcb_window_t window = next_mapped(x);
    const double elapsed = ms_since(start);
    if (!window) fail("the pad window did not appear");
    close_window(x, window);
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
    if (!unframe_text(output, answer) || answer.find("\"code\":23") == std::string::npos)
        fail(("the capture was not answered as cancelled: " + answer).c_str());
    return elapsed;
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

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
    const std::string host = argc > 2 ? argv[2] : VELDRA_BENCH_HOST;
    signal(SIGPIPE, SIG_IGN);
    guitest::Xvfb xvfb;
    if (!xvfb.ok()) fail(xvfb.error().c_str());
    char home[] = "/tmp/veldra-pad-start-XXXXXX";
    if (!mkdtemp(home)) fail("mkdtemp");
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

    get_pads(host);  // first use: not timed
    window_start(x, host);
    std::vector<double> windows, pads;
    for (int i = 0; i < rounds; ++i) {
        windows.push_back(window_start(x, host));
        pads.push_back(get_pads(host));
    }
    xcb_disconnect(x);
    std::filesystem::remove_all(home);
    std::printf("pad start, %d rounds, host %s\n", rounds, host.c_str());
    std::printf("  COMPUTE_SIGNATURE_IMAGE request to pad window mapped  median %7.2f ms  (%.2f-%.2f; target <= 100)\n",
                median(windows), *std::min_element(windows.begin(), windows.end()),
                *std::max_element(windows.begin(), windows.end()));
    std::printf(
        "  GET_PADS round trip                                     median %7.2f ms  (%.2f-%.2f; target <= 15)\n",
        median(pads), *std::min_element(pads.begin(), pads.end()), *std::max_element(pads.begin(), pads.end()));
    return 0;
}
