// A private X server for GUI tests: Xvfb on the first free display from 100 to 119, stopped by its PID
// on every path. Header-only, so that module tests can use it without the host test library.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace guitest {

class Xvfb {
public:
    static constexpr int FIRST_DISPLAY = 100;
    static constexpr int LAST_DISPLAY = 119;

    // screen: the server's screen as Xvfb takes it, "WIDTHxHEIGHTxDEPTH".
    explicit Xvfb(std::string screen = "1024x768x24") : screen_(std::move(screen)) {
        for (int number = FIRST_DISPLAY; number <= LAST_DISPLAY && display_.empty() && !missing_; ++number) {
            start(number);
        }
        if (display_.empty() && error_.empty()) {
            error_ = "no Xvfb could start on a display from :" + std::to_string(FIRST_DISPLAY) +
                     " to :" + std::to_string(LAST_DISPLAY) + " (each taken, or its server did not answer)";
        }
    }
    ~Xvfb() { stop(); }
    Xvfb(const Xvfb&) = delete;
    Xvfb& operator=(const Xvfb&) = delete;

    bool ok() const { return !display_.empty(); }
    // ":N", empty when no server runs.
    const std::string& display() const { return display_; }
    // Why no server runs; empty when one does.
    const std::string& error() const { return error_; }

    // Ends the server (SIGTERM, then SIGKILL after 5 s) and reaps it; its clients lose their display.
    // Also what the destructor does; a second call does nothing.
    void stop() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            int status = 0;
            pid_t ended = 0;
            const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
            while ((ended = waitpid(pid_, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < until) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            if (ended == 0) {
                kill(pid_, SIGKILL);
                ended = waitpid(pid_, &status, 0);
            }
            if (ended == pid_ && WIFEXITED(status) && WEXITSTATUS(status) == 127) {
                missing_ = true;
                error_ = "Xvfb not found (scripts/deps installs it)";
            }
            pid_ = -1;
        }
        if (lock_ >= 0) close(lock_);
        lock_ = -1;
    }

private:
    void start(int number) {
        // Our own claim on the number, taken before the server starts: Xvfb does not refuse a display
        // that another server is still starting on. The lock goes with this process, however it ends;
        // read-only, so that any user can lock the file whoever created it.
        const std::string lockPath = "/tmp/veldra-xvfb-display-" + std::to_string(number) + ".lock";
        lock_ = open(lockPath.c_str(), O_CREAT | O_RDONLY | O_CLOEXEC, 0666);
        if (lock_ < 0) return;
        if (flock(lock_, LOCK_EX | LOCK_NB) != 0) return stop();
        int ready[2];
        if (pipe2(ready, O_CLOEXEC) != 0) return stop();
        const std::string name = ":" + std::to_string(number);
        std::vector<std::string> args = {"Xvfb",     name,        "-displayfd", std::to_string(ready[1]),
                                         "-noreset", "-nolisten", "tcp",        "-screen",
                                         "0",        screen_};
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        const pid_t parent = getpid();
        pid_ = fork();
        if (pid_ == 0) {
            // The server ends with this process even when it dies without cleaning up.
            prctl(PR_SET_PDEATHSIG, SIGTERM);
            if (getppid() != parent) _exit(1);
            fcntl(ready[1], F_SETFD, 0);  // the one descriptor the server inherits
            const int null = open("/dev/null", O_RDWR);
            dup2(null, STDIN_FILENO);
            dup2(null, STDOUT_FILENO);
            dup2(null, STDERR_FILENO);
            execvp("Xvfb", argv.data());
            _exit(127);
        }
        close(ready[1]);
        if (pid_ < 0) {
            close(ready[0]);
            error_ = std::string("fork: ") + std::strerror(errno);
            return stop();
        }
        const bool announced = read_announcement(ready[0], number);
        close(ready[0]);
        if (announced && accepts_a_client(number)) {
            display_ = name;
            return;
        }
        stop();
    }

    // Xvfb writes the display number, then a LF in a second write, once it takes clients; an exit
    // (display in use) closes the pipe. Read up to the LF: were the pipe closed between the two writes,
    // SIGPIPE would end the server just after it announced itself.
    bool read_announcement(int fd, int number) {
        std::string line;
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (line.find('\n') == std::string::npos && std::chrono::steady_clock::now() < until) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 100) != 1) continue;
            char buffer[16];
            const ssize_t n = read(fd, buffer, sizeof buffer);
            if (n <= 0) break;
            line.append(buffer, static_cast<size_t>(n));
        }
        return line == std::to_string(number) + "\n";
    }

    // Opens an X connection to the display and reads the server's answer to the setup request, as any
    // client's first step: true once the server accepts one. Like Xlib, tries the abstract socket first,
    // then the one in /tmp/.X11-unix.
    static bool accepts_a_client(int number) {
        const std::string path = "/tmp/.X11-unix/X" + std::to_string(number);
        for (int attempt = 0; attempt < 100; ++attempt) {
            if (attempt > 0) std::this_thread::sleep_for(std::chrono::milliseconds(50));
            if (setup_succeeds(path, true) || setup_succeeds(path, false)) return true;
        }
        return false;
    }
    static bool setup_succeeds(const std::string& path, bool abstract) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const size_t start = abstract ? 1 : 0;  // an abstract name starts with a NUL byte
        std::memcpy(address.sun_path + start, path.data(), path.size());
        const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + start + path.size());
        const int s = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (s < 0) return false;
        // Byte order 'l', protocol 11.0, no authorisation.
        const uint8_t setup[12] = {'l', 0, 11, 0, 0, 0, 0, 0, 0, 0, 0, 0};
        bool accepted = false;
        if (connect(s, reinterpret_cast<const sockaddr*>(&address), length) == 0 &&
            send(s, setup, sizeof setup, MSG_NOSIGNAL) == static_cast<ssize_t>(sizeof setup)) {
            pollfd p{s, POLLIN, 0};
            uint8_t status = 0;
            accepted = poll(&p, 1, 2000) == 1 && read(s, &status, 1) == 1 && status == 1;  // 1: Success
        }
        close(s);
        return accepted;
    }

    std::string screen_;
    pid_t pid_ = -1;
    int lock_ = -1;
    bool missing_ = false;
    std::string display_;
    std::string error_;
};

}  // namespace guitest
