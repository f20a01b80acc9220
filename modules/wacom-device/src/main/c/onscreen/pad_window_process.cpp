#include "pad_window_process.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <linux/close_range.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>

extern char** environ;

namespace OnScreenPad {
namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* WINDOW_PROGRAM = "veldra-onscreen-pad-window";
constexpr auto READY_LIMIT = std::chrono::seconds(10);
constexpr auto SEND_LIMIT = std::chrono::seconds(5);
constexpr auto EXIT_GRACE = std::chrono::milliseconds(500);
// What one Receive reads at most, so that a flood of input cannot hold the capture's thread.
constexpr size_t RECEIVE_BUDGET = 256 * 1024;

int ms_until(Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(left);
}

// In the child between fork and exec: async-signal-safe calls only.
[[noreturn]] void exec_child(const char* program, char* const argv[], int channel, pid_t parent) {
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent) _exit(127);
    sigset_t none;
    sigemptyset(&none);
    for (int signal : {SIGPIPE, SIGTERM, SIGINT, SIGHUP, SIGCHLD, SIGALRM}) ::signal(signal, SIG_DFL);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    // Standard input from /dev/null, standard output onto standard error (the host's standard output
    // carries its answers), the channel as descriptor 3, nothing else of ours.
    const int devnull = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (devnull < 0 || dup2(devnull, STDIN_FILENO) < 0 || dup2(STDERR_FILENO, STDOUT_FILENO) < 0 ||
        dup2(channel, WINDOW_CHANNEL_FD) < 0)
        _exit(127);
    if (close_range(WINDOW_CHANNEL_FD + 1, ~0U, 0) != 0) {
        for (int fd = WINDOW_CHANNEL_FD + 1; fd < 65536; ++fd) close(fd);
    }
    execve(program, argv, environ);
    _exit(127);
}

}  // namespace

std::string WindowProgramPath() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<const void*>(&WindowProgramPath), &info) == 0 || !info.dli_fname) return {};
    const std::string module = info.dli_fname;
    const size_t slash = module.rfind('/');
    return (slash == std::string::npos ? std::string() : module.substr(0, slash + 1)) + WINDOW_PROGRAM;
}

bool PadWindowProcess::Launch(const std::string& program, const std::vector<std::string>& args) {
    Stop();
    if (program.empty() || access(program.c_str(), X_OK) != 0) return false;
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return false;
    const pid_t parent = getpid();
    const pid_t child = fork();
    if (child == 0) exec_child(program.c_str(), argv.data(), pair[1], parent);
    close(pair[1]);
    if (child < 0) {
        close(pair[0]);
        return false;
    }
    pid_ = child;
    socket_ = pair[0];
    fcntl(socket_, F_SETFL, fcntl(socket_, F_GETFL) | O_NONBLOCK);
    return true;
}

bool PadWindowProcess::Start(const std::string& program, uint16_t* width, uint16_t* height) {
    if (!Launch(program, {})) return false;
    const auto deadline = Clock::now() + READY_LIMIT;
    std::vector<Message> messages;
    while (messages.empty()) {
        pollfd p{socket_, POLLIN, 0};
        const int n = poll(&p, 1, ms_until(deadline));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0 || !Receive(&messages)) break;  // no answer in time, or it ended without one
    }
    const auto size = !messages.empty() && messages.front().kind == MessageKind::Ready
                          ? DecodeReady(messages.front().payload)
                          : std::nullopt;
    if (!size || messages.size() != 1 || !Running()) {
        Stop();
        return false;
    }
    *width = size->first;
    *height = size->second;
    return true;
}

bool PadWindowProcess::Send(const std::vector<uint8_t>& message) {
    if (socket_ < 0 || message.empty()) return false;
    const auto deadline = Clock::now() + SEND_LIMIT;
    size_t sent = 0;
    while (sent < message.size()) {
        const ssize_t n = send(socket_, message.data() + sent, message.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd p{socket_, POLLOUT, 0};
            if (poll(&p, 1, ms_until(deadline)) > 0 && (p.revents & POLLOUT)) continue;
            if (Clock::now() < deadline && !(p.revents & (POLLHUP | POLLERR))) continue;
        }
        Stop();
        return false;
    }
    return true;
}

bool PadWindowProcess::Receive(std::vector<Message>* messages) {
    if (socket_ < 0) return false;
    bool open = true;
    for (size_t budget = RECEIVE_BUDGET; budget > 0;) {
        uint8_t buffer[4096];
        const ssize_t n = recv(socket_, buffer, sizeof buffer, 0);
        if (n > 0) {
            pending_.insert(pending_.end(), buffer, buffer + n);
            budget -= std::min(budget, static_cast<size_t>(n));
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            open = n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
            break;
        }
        for (;;) {
            Message message;
            const Framing framing = TakeMessage(pending_, &message);
            if (framing == Framing::Incomplete) break;
            if (framing == Framing::Invalid) {
                Stop();
                return false;
            }
            messages->push_back(std::move(message));
        }
    }
    if (!open) Stop();
    return open;
}

void PadWindowProcess::Stop() {
    if (socket_ >= 0) {
        close(socket_);
        socket_ = -1;
    }
    pending_.clear();
    if (pid_ <= 0) return;
    const auto until = Clock::now() + EXIT_GRACE;
    for (;;) {
        const pid_t r = waitpid(pid_, nullptr, WNOHANG);
        if (r == pid_ || (r < 0 && errno != EINTR)) break;  // ECHILD: reaped already (SIGCHLD ignored)
        if (Clock::now() >= until) {
            kill(pid_, SIGKILL);
            while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {}
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    pid_ = -1;
}

}  // namespace OnScreenPad
