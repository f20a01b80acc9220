// Sends one native messaging request to the host and prints the decoded answer and the exit code.
//
//   nm-request [--host PATH] [JSON]     (the request is read from standard input without JSON)
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

extern char** environ;

namespace {

std::string default_host(const char* self) {
    std::string path(self);
    const size_t slash = path.rfind('/');
    return (slash == std::string::npos ? std::string(".") : path.substr(0, slash)) + "/veldra-native-host";
}

bool write_all(int fd, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

int usage() {
    std::cerr << "usage: nm-request [--host PATH] [JSON]\n"
                 "Frames JSON (or standard input), runs the host on it, prints the answer and the exit code.\n";
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    std::string host = default_host(argv[0]);
    std::string request;
    bool haveRequest = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--host" && i + 1 < argc) {
            host = argv[++i];
        } else if (arg == "-h" || arg == "--help" || haveRequest) {
            return usage();
        } else {
            request = arg;
            haveRequest = true;
        }
    }
    if (!haveRequest) request.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());

    int in[2], out[2];
    if (pipe(in) != 0 || pipe(out) != 0) return 1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, in[1]);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    char* hostArgv[] = {host.data(), nullptr};
    pid_t pid;
    const int rc = posix_spawn(&pid, host.c_str(), &actions, nullptr, hostArgv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        std::cerr << "nm-request: cannot start " << host << ": " << std::strerror(rc) << "\n";
        return 1;
    }
    close(in[0]);
    close(out[1]);

    const uint32_t n = static_cast<uint32_t>(request.size());
    std::string frame{static_cast<char>(n), static_cast<char>(n >> 8), static_cast<char>(n >> 16),
                      static_cast<char>(n >> 24)};
    write_all(in[1], frame + request);
    close(in[1]);

    std::string answer;
    char buffer[65536];
    ssize_t got;
    while ((got = read(out[0], buffer, sizeof buffer)) != 0) {
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) break;
        answer.append(buffer, static_cast<size_t>(got));
    }
    close(out[0]);
    int status = 0;
    waitpid(pid, &status, 0);

    if (answer.size() < 4) {
        std::cout << "(no answer frame: " << answer.size() << " bytes)\n";
    } else {
        uint32_t length = 0;
        for (int i = 0; i < 4; ++i) length |= static_cast<uint32_t>(static_cast<unsigned char>(answer[i])) << (8 * i);
        std::string text = answer.substr(4);
        if (text.size() != length)
            std::cout << "(frame says " << length << " bytes, " << text.size() << " arrived)\n";
        std::cout << text;
        if (text.empty() || text.back() != '\n') std::cout << "\n";
    }
    if (WIFEXITED(status)) {
        std::cout << "exit code: " << WEXITSTATUS(status) << "\n";
        return 0;
    }
    std::cout << "host ended by signal " << WTERMSIG(status) << "\n";
    return 1;
}
