// One GET_INFO exchange with a host program, as a browser makes it, bounded in time.
#include <fcntl.h>
#include <ftw.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "doctor.h"
#include "i18n.h"
#include "posix_fd.h"

extern char** environ;

namespace Doctor {
namespace {

using Clock = std::chrono::steady_clock;

// Kills and reaps the child on every path; its exit status once it has ended by itself.
class Child {
public:
    explicit Child(pid_t pid) : pid_(pid) {}
    ~Child() {
        if (pid_ <= 0) return;
        kill(pid_, SIGKILL);
        while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {}
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    // Waits for the end until deadline; false when it is still running then.
    bool Reap(Clock::time_point deadline, int& status) {
        for (;;) {
            const pid_t done = waitpid(pid_, &status, WNOHANG);
            if (done == pid_) {
                pid_ = -1;
                return true;
            }
            if (done < 0 && errno != EINTR) return false;
            if (Clock::now() >= deadline) return false;
            usleep(2000);
        }
    }

private:
    pid_t pid_;
};

// Every request of the host, GET_INFO too, opens the user's state file and makes it when it is
// missing: the host under examination gets a state folder of its own, removed afterwards, so that
// the user's is neither made nor repaired by a diagnosis.
class ScratchState {
public:
    ScratchState() {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp && tmp[0] == '/' ? tmp : "/tmp") + "/veldra-doctor-XXXXXX";
        if (mkdtemp(pattern.data())) path_ = pattern;
    }
    ~ScratchState() {
        if (path_.empty()) return;
        nftw(
            path_.c_str(), [](const char* path, const struct stat*, int, FTW*) { return remove(path); }, 8,
            FTW_DEPTH | FTW_PHYS);
    }
    ScratchState(const ScratchState&) = delete;
    ScratchState& operator=(const ScratchState&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// This process's environment with XDG_DATA_HOME replaced by dataHome.
std::vector<std::string> EnvironmentWith(const std::string& dataHome) {
    std::vector<std::string> variables;
    for (char** entry = environ; *entry; ++entry)
        if (std::strncmp(*entry, "XDG_DATA_HOME=", 14) != 0) variables.emplace_back(*entry);
    variables.push_back("XDG_DATA_HOME=" + dataHome);
    return variables;
}

int MillisecondsLeft(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(left);
}

}  // namespace

std::string OwnHostPath() {
    char self[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    if (length > 0) {
        std::string beside(self, static_cast<size_t>(length));
        beside = beside.substr(0, beside.rfind('/') + 1) + "veldra-native-host";
        if (access(beside.c_str(), X_OK) == 0) return beside;
    }
    return VELDRA_INSTALLED_HOST;
}

HostAnswer QueryHost(const std::string& program, const std::vector<std::string>& args,
                     std::chrono::milliseconds limit) {
    HostAnswer answer;
    const Clock::time_point deadline = Clock::now() + limit;
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0) return answer.error = std::strerror(errno), answer;
    Fd inRead(in[0]), inWrite(in[1]);
    if (pipe2(out, O_CLOEXEC) != 0) return answer.error = std::strerror(errno), answer;
    Fd outRead(out[0]), outWrite(out[1]);

    const ScratchState state;
    if (state.path().empty()) return answer.error = _("no temporary folder for its state"), answer;
    std::vector<std::string> variables = EnvironmentWith(state.path());
    std::vector<char*> envp;
    for (std::string& v : variables) envp.push_back(v.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, inRead.get(), 0);
    posix_spawn_file_actions_adddup2(&actions, outWrite.get(), 1);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    std::vector<std::string> strings{program};
    strings.insert(strings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& s : strings) argv.push_back(s.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return answer.error = Utils::i18n_format(_("cannot start it: {1}"), {std::strerror(rc)}), answer;
    Child child(pid);
    inRead.reset();
    outWrite.reset();

    // The request is far smaller than a pipe's buffer: one write.
    const std::string request = GetInfoFrame();
    struct sigaction ignoring {};
    struct sigaction previous {};
    ignoring.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignoring, &previous);
    const bool sent = write(inWrite.get(), request.data(), request.size()) == static_cast<ssize_t>(request.size());
    sigaction(SIGPIPE, &previous, nullptr);
    inWrite.reset();

    std::string output;
    for (;;) {
        pollfd fd{outRead.get(), POLLIN, 0};
        const int ready = poll(&fd, 1, MillisecondsLeft(deadline));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) {
            answer.error = Utils::i18n_format(_("no answer within {1} s"), {std::to_string(limit.count() / 1000)});
            return answer;
        }
        char buffer[4096];
        const ssize_t n = read(outRead.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        output.append(buffer, static_cast<size_t>(n));
        if (output.size() > 65536) break;
    }
    int status = 0;
    if (!child.Reap(deadline, status)) {
        answer.error = _("it did not exit after answering");
        return answer;
    }
    if (WIFSIGNALED(status)) {
        answer.error = Utils::i18n_format(_("it was ended by signal {1}"), {std::to_string(WTERMSIG(status))});
        return answer;
    }
    if (!sent && output.empty()) {
        answer.error =
            Utils::i18n_format(_("it did not read the request (exit code {1})"), {std::to_string(WEXITSTATUS(status))});
        return answer;
    }
    return ReadHostAnswer(output, WEXITSTATUS(status));
}

}  // namespace Doctor
