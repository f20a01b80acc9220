#include "host_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include <gtest/gtest.h>

extern char** environ;

namespace hosttest {

std::string bin_dir() { return VELDRA_BIN_DIR; }
std::string host_path() { return std::string(VELDRA_BIN_DIR) + "/veldra-native-host"; }

bool use_windows_host(HostOptions& options) {
    const char* windows = std::getenv("VELDRA_WINDOWS_HOST");
    if (!windows || !*windows || !options.program.empty()) return false;
    options.program = "/usr/bin/wine";
    options.args.insert(options.args.begin(), windows);
    options.env.emplace("WINEDEBUG", "-all");
    options.limit = std::chrono::milliseconds(60000);
    return true;
}

std::string frame(const std::string& text) {
    const uint32_t n = static_cast<uint32_t>(text.size());
    std::string out(4, '\0');
    for (int i = 0; i < 4; ++i) out[i] = static_cast<char>((n >> (8 * i)) & 0xFF);
    return out + text;
}

std::optional<std::string> HostRun::answer() const {
    if (out.size() < 4) return std::nullopt;
    uint32_t n = 0;
    for (int i = 0; i < 4; ++i) n |= static_cast<uint32_t>(static_cast<unsigned char>(out[i])) << (8 * i);
    if (out.size() != 4 + static_cast<size_t>(n)) return std::nullopt;
    return out.substr(4);
}

namespace {

std::vector<std::string> build_environment(const HostOptions& options) {
    std::map<std::string, std::string> env;
    for (char** e = environ; *e; ++e) {
        const char* eq = std::strchr(*e, '=');
        if (eq) env[std::string(*e, static_cast<size_t>(eq - *e))] = eq + 1;
    }
    for (const auto& name : options.unset_env) env.erase(name);
    for (const auto& [name, value] : options.env) env[name] = value;
    std::vector<std::string> out;
    for (const auto& [name, value] : env) out.push_back(name + "=" + value);
    return out;
}

struct Pipe {
    int fd[2] = {-1, -1};
    Pipe() {
        if (pipe2(fd, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    }
    ~Pipe() { close_both(); }
    void close_end(int i) {
        if (fd[i] >= 0) ::close(fd[i]);
        fd[i] = -1;
    }
    void close_both() {
        close_end(0);
        close_end(1);
    }
};

}  // namespace

HostRun run_host(const std::string& input, const HostOptions& options) {
    signal(SIGPIPE, SIG_IGN);
    Pipe in, out, err;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in.fd[0], 0);
    if (!options.cwd.empty()) posix_spawn_file_actions_addchdir_np(&actions, options.cwd.c_str());
    if (options.closed_stdout) posix_spawn_file_actions_addclose(&actions, 1);
    else posix_spawn_file_actions_adddup2(&actions, out.fd[1], 1);
    if (options.closed_stderr) posix_spawn_file_actions_addclose(&actions, 2);
    else posix_spawn_file_actions_adddup2(&actions, err.fd[1], 2);

    const std::string program = options.program.empty() ? host_path() : options.program;
    std::vector<std::string> args{program};
    args.insert(args.end(), options.args.begin(), options.args.end());
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    auto envStrings = build_environment(options);
    std::vector<char*> envp;
    for (auto& e : envStrings) envp.push_back(e.data());
    envp.push_back(nullptr);

    HostRun run;
    const auto started = std::chrono::steady_clock::now();
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) throw std::runtime_error("cannot start " + program + ": " + std::strerror(rc));
    if (options.started) options.started(pid);
    in.close_end(0);
    out.close_end(1);
    err.close_end(1);

    size_t written = 0;
    if (input.empty() && options.close_stdin) in.close_end(1);
    const auto deadline = started + options.limit;
    bool outOpen = !options.closed_stdout, errOpen = !options.closed_stderr;
    // Without either output to watch, the run lasts until the program exits (left unreaped here).
    auto running = [pid] {
        siginfo_t info{};
        return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == 0;
    };
    while (outOpen || errOpen || running()) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) {
            run.timed_out = true;
            kill(pid, options.limit_signal);
            break;
        }
        std::vector<pollfd> fds;
        if (outOpen) fds.push_back({out.fd[0], POLLIN, 0});
        if (errOpen) fds.push_back({err.fd[0], POLLIN, 0});
        const bool writing = in.fd[1] >= 0 && written < input.size();
        if (writing) fds.push_back({in.fd[1], POLLOUT, 0});
        const int wait =
            static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count());
        if (poll(fds.data(), fds.size(), std::min(wait, 200)) < 0 && errno != EINTR) break;
        for (auto& p : fds) {
            if (!p.revents) continue;
            if (p.fd == in.fd[1]) {
                const ssize_t n = ::write(in.fd[1], input.data() + written, input.size() - written);
                if (n > 0) written += static_cast<size_t>(n);
                if (n < 0 || written == input.size()) {
                    if (n < 0 || options.close_stdin) in.close_end(1);
                }
                continue;
            }
            char buffer[65536];
            const ssize_t n = ::read(p.fd, buffer, sizeof buffer);
            std::string& target = p.fd == out.fd[0] ? run.out : run.err;
            if (n > 0) {
                target.append(buffer, static_cast<size_t>(n));
            } else {
                (p.fd == out.fd[0] ? outOpen : errOpen) = false;
            }
        }
    }
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    run.cpu = std::chrono::milliseconds((usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000 +
                                        (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000);
    run.max_rss_kib = usage.ru_maxrss;
    run.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
    if (WIFEXITED(status)) run.exit_code = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) run.signal = WTERMSIG(status);
    if (WIFSIGNALED(status)) run.core_dumped = WCOREDUMP(status);
    return run;
}

HostRun request(const std::string& json, const HostOptions& options) {
    HostRun run = run_host(frame(json), options);
    EXPECT_FALSE(run.timed_out) << "host did not finish";
    EXPECT_EQ(run.exit_code, 0) << "stderr:\n" << run.err;
    EXPECT_TRUE(run.answer().has_value()) << "not one frame: " << run.out.size() << " bytes";
    return run;
}

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "veldra-test-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

}  // namespace hosttest
