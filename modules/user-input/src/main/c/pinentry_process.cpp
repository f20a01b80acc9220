#include "pinentry_process.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <thread>

extern char** environ;

namespace {

// A line from pinentry is at most 1002 bytes; anything far longer is a broken peer.
constexpr std::size_t kMaxPending = 16384;

int poll_timeout_ms(Deadline deadline) {
    if (deadline == kNoDeadline) return -1;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return 0;
    return static_cast<int>(std::min<long long>(left.count(), INT_MAX));
}

struct SpawnSetup {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    bool actionsReady = false;
    bool attributesReady = false;
    ~SpawnSetup() {
        if (actionsReady) posix_spawn_file_actions_destroy(&actions);
        if (attributesReady) posix_spawnattr_destroy(&attributes);
    }
};

}  // namespace

PinentryProcess::PinentryProcess(int wakeFd) : wakeFd_(wakeFd) { pending_.reserve(2048); }

PinentryProcess::~PinentryProcess() { stop(false); }

bool PinentryProcess::start(const std::string& program, std::string& error) {
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
        error = std::string("socketpair: ") + std::strerror(errno);
        return false;
    }
    SpawnSetup setup;
    // The child gets the pair's other end as standard input and output, /dev/null as standard error
    // (its toolkit chatter is not our log's format), and none of our other descriptors.
    int rc = posix_spawn_file_actions_init(&setup.actions);
    setup.actionsReady = rc == 0;
    if (rc == 0) rc = posix_spawn_file_actions_adddup2(&setup.actions, pair[1], STDIN_FILENO);
    if (rc == 0) rc = posix_spawn_file_actions_adddup2(&setup.actions, pair[1], STDOUT_FILENO);
    if (rc == 0) rc = posix_spawn_file_actions_addopen(&setup.actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    if (rc == 0) rc = posix_spawn_file_actions_addclosefrom_np(&setup.actions, STDERR_FILENO + 1);
    // Signals as a fresh program expects them, whatever this process blocks or ignores.
    if (rc == 0) rc = posix_spawnattr_init(&setup.attributes);
    setup.attributesReady = setup.actionsReady && rc == 0;
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (int signal : {SIGPIPE, SIGTERM, SIGINT, SIGHUP, SIGCHLD, SIGALRM}) sigaddset(&defaults, signal);
    if (rc == 0) rc = posix_spawnattr_setsigmask(&setup.attributes, &none);
    if (rc == 0) rc = posix_spawnattr_setsigdefault(&setup.attributes, &defaults);
    if (rc == 0) rc = posix_spawnattr_setflags(&setup.attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    if (rc == 0) {
        char* argv[] = {const_cast<char*>(program.c_str()), nullptr};
        pid_t child = -1;
        rc = posix_spawn(&child, program.c_str(), &setup.actions, &setup.attributes, argv, environ);
        if (rc == 0) pid_ = child;
    }
    close(pair[1]);
    if (rc != 0) {
        close(pair[0]);
        error = program + ": " + std::strerror(rc);
        return false;
    }
    socket_ = pair[0];
    fcntl(socket_, F_SETFL, fcntl(socket_, F_GETFL) | O_NONBLOCK);
    return true;
}

PinentryProcess::Wait PinentryProcess::wait_for(short events, Deadline deadline) {
    for (;;) {
        pollfd fds[2] = {{socket_, events, 0}, {wakeFd_, POLLIN, 0}};
        const int n = poll(fds, 2, poll_timeout_ms(deadline));
        if (n < 0) {
            if (errno == EINTR) continue;
            return Wait::Failed;
        }
        if (fds[1].revents) return Wait::Woken;
        if (n == 0) return Wait::TimedOut;
        if (fds[0].revents & events) return Wait::Done;
        if (fds[0].revents & (POLLHUP | POLLERR)) return Wait::Closed;
        if (fds[0].revents & POLLNVAL) return Wait::Failed;
    }
}

PinentryProcess::Wait PinentryProcess::send_line(std::string_view line, Deadline deadline) {
    if (socket_ < 0) return Wait::Failed;
    std::string data(line);
    data += '\n';
    std::size_t sent = 0;
    while (sent < data.size()) {
        const ssize_t n = send(socket_, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            const Wait wait = wait_for(POLLOUT, deadline);
            if (wait != Wait::Done) return wait;
            continue;
        }
        return errno == EPIPE || errno == ECONNRESET ? Wait::Closed : Wait::Failed;
    }
    return Wait::Done;
}

PinentryProcess::Wait PinentryProcess::read_line(SecureBytes& line, Deadline deadline) {
    if (socket_ < 0) return Wait::Failed;
    for (;;) {
        const auto end = std::find(pending_.begin(), pending_.end(), '\n');
        if (end != pending_.end()) {
            auto last = end;
            if (last != pending_.begin() && *(last - 1) == '\r') --last;
            line.assign(pending_.begin(), last);
            pending_.erase(pending_.begin(), end + 1);
            return Wait::Done;
        }
        if (pending_.size() > kMaxPending) return Wait::Failed;
        // Poll before reading, so that a wake-up wins over a chatty peer.
        const Wait wait = wait_for(POLLIN, deadline);
        if (wait != Wait::Done) return wait;
        char buffer[1024];
        const ssize_t n = recv(socket_, buffer, sizeof buffer, 0);
        if (n > 0) pending_.insert(pending_.end(), buffer, buffer + n);
        OPENSSL_cleanse(buffer, sizeof buffer);
        if (n == 0) return Wait::Closed;
        if (n < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) return Wait::Closed;
    }
}

bool PinentryProcess::reaped_within(std::chrono::milliseconds grace) {
    const auto until = std::chrono::steady_clock::now() + grace;
    for (;;) {
        const pid_t r = waitpid(pid_, nullptr, WNOHANG);
        if (r == pid_ || (r < 0 && errno == ECHILD)) return true;  // ECHILD: SIGCHLD ignored, reaped already
        if (r < 0 && errno != EINTR) return true;
        if (std::chrono::steady_clock::now() >= until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

void PinentryProcess::stop(bool graceful) {
    if (socket_ >= 0) {
        close(socket_);
        socket_ = -1;
    }
    if (pid_ > 0) {
        if (!graceful || !reaped_within(std::chrono::milliseconds(300))) {
            kill(pid_, SIGTERM);
            if (!reaped_within(std::chrono::milliseconds(500))) {
                kill(pid_, SIGKILL);
                while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
                }
            }
        }
        pid_ = -1;
    }
    OPENSSL_cleanse(pending_.data(), pending_.size());
    pending_.clear();
}
