#include "child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>

extern char** environ;

std::string frame_text(const std::string& text) {
    const uint32_t n = static_cast<uint32_t>(text.size());
    return std::string{static_cast<char>(n), static_cast<char>(n >> 8), static_cast<char>(n >> 16),
                       static_cast<char>(n >> 24)} +
           text;
}

namespace {

// The text length the frame at the start of data declares; false while its prefix is incomplete.
bool frame_length(const std::string& data, uint32_t& n) {
    if (data.size() < 4) return false;
    n = 0;
    for (int i = 0; i < 4; ++i) n |= static_cast<uint32_t>(static_cast<unsigned char>(data[i])) << (8 * i);
    return true;
}

bool holds_whole_frame(const std::string& data) {
    uint32_t n = 0;
    return frame_length(data, n) && data.size() - 4 >= n;
}

}  // namespace

bool unframe_text(const std::string& data, std::string& text) {
    uint32_t n = 0;
    if (!frame_length(data, n)) return false;
    text = data.substr(4, n);
    return data.size() - 4 >= n;
}

ChildResult run_child(const std::string& program, const std::vector<std::string>& args, const std::string& input) {
    signal(SIGPIPE, SIG_IGN);
    ChildResult result;
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0) {
        result.error = std::strerror(errno);
        return result;
    }
    if (pipe2(out, O_CLOEXEC) != 0) {
        result.error = std::strerror(errno);
        close(in[0]);
        close(in[1]);
        return result;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    std::vector<std::string> argStrings{program};
    argStrings.insert(argStrings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argStrings) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    const auto start = std::chrono::steady_clock::now();
    const auto since_start = [start] {
        return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    };
    const int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    if (rc != 0) {
        result.error = std::strerror(rc);
        close(in[1]);
        close(out[0]);
        return result;
    }
    result.started = true;

    size_t written = 0;
    bool writing = true, reading = true;
    while (reading) {
        pollfd fds[2] = {{out[0], POLLIN, 0}, {in[1], POLLOUT, 0}};
        const nfds_t count = writing ? 2 : 1;
        if (poll(fds, count, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (writing && fds[1].revents) {
            const ssize_t n = write(in[1], input.data() + written, input.size() - written);
            if (n > 0) written += static_cast<size_t>(n);
            if (n < 0 || written == input.size()) {
                close(in[1]);
                writing = false;
            }
        }
        if (fds[0].revents) {
            char buffer[65536];
            const ssize_t n = read(out[0], buffer, sizeof buffer);
            if (n > 0) {
                result.output.append(buffer, static_cast<size_t>(n));
                if (result.answer_ms < 0 && holds_whole_frame(result.output)) result.answer_ms = since_start();
            } else if (n == 0 || errno != EINTR) reading = false;
        }
    }
    if (writing) close(in[1]);
    close(out[0]);
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    result.exit_ms = since_start();
    result.max_rss_kib = usage.ru_maxrss;
    if (WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
    return result;
}
