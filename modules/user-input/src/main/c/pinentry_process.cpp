#include "pinentry_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <linux/close_range.h>
#include <sys/prctl.h>
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

// In the child between fork and exec: only async-signal-safe calls. Reports a failure's errno on
// the report pipe and exits.
[[noreturn]] void exec_child(const char* program, char* const argv[], int channel, int report, pid_t parent) {
    // The dialog must not outlive the thread that waits for it: if this process ends (the browser
    // kills it, or it exits right after a cancel), pinentry is killed, even one that ignores SIGTERM.
    int error = 0;
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent) error = ESRCH;
    sigset_t none;
    sigemptyset(&none);
    // Signals as a fresh program expects them, whatever this process blocks or ignores.
    for (int signal : {SIGPIPE, SIGTERM, SIGINT, SIGHUP, SIGCHLD, SIGALRM}) ::signal(signal, SIG_DFL);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    // Our end of the pair as standard input and output, /dev/null as standard error (the toolkit's
    // chatter is not our log's format), none of our other descriptors.
    if (!error && (dup2(channel, STDIN_FILENO) < 0 || dup2(channel, STDOUT_FILENO) < 0)) error = errno;
    const int devnull = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (!error && (devnull < 0 || dup2(devnull, STDERR_FILENO) < 0)) error = errno;
    if (!error) {
        // Everything above standard error closes at the exec, the report pipe included: up to then it
        // stays open to tell the parent of a failure.
        if (close_range(STDERR_FILENO + 1, ~0U, CLOSE_RANGE_CLOEXEC) != 0) {
            for (int fd = STDERR_FILENO + 1; fd < 65536; ++fd) {
                if (fd != report) close(fd);
            }
        }
        execve(program, argv, environ);
        error = errno;
    }
    [[maybe_unused]] const ssize_t written = write(report, &error, sizeof error);
    _exit(127);
}

}  // namespace

PinentryProcess::PinentryProcess(int wakeFd) : wakeFd_(wakeFd) { pending_.reserve(2048); }

PinentryProcess::~PinentryProcess() { stop(false); }

bool PinentryProcess::start(const std::string& program, std::string& error) {
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
        error = std::string("socketpair: ") + std::strerror(errno);
        return false;
    }
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) {
        error = std::string("pipe: ") + std::strerror(errno);
        close(pair[0]);
        close(pair[1]);
        return false;
    }
    char* argv[] = {const_cast<char*>(program.c_str()), nullptr};
    const pid_t parent = getpid();
    const pid_t child = fork();
    if (child == 0) exec_child(program.c_str(), argv, pair[1], report[1], parent);
    const int forkError = errno;
    close(pair[1]);
    close(report[1]);
    int childError = 0;
    if (child > 0) {
        ssize_t n;
        while ((n = read(report[0], &childError, sizeof childError)) < 0 && errno == EINTR) {}
        if (n != static_cast<ssize_t>(sizeof childError)) childError = 0;  // end of file: the exec succeeded
    }
    close(report[0]);
    if (child < 0 || childError != 0) {
        if (child > 0) {
            while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {}
        }
        close(pair[0]);
        error = program + ": " + std::strerror(child < 0 ? forkError : childError);
        return false;
    }
    pid_ = child;
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

PinentryProcess::Wait PinentryProcess::read_line(Utils::SecretBytes& line, Deadline deadline) {
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
        Utils::wipe(buffer);
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
                while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {}
            }
        }
        pid_ = -1;
    }
    Utils::wipe(pending_);
    pending_.clear();
}
