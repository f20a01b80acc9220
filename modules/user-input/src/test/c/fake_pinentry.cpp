// A scripted pinentry for the unit tests: speaks enough Assuan on stdin/stdout for one dialog.
// FAKE_MODE   ok | split | chatty | inquire | empty | cancel | timeout | hang | stubborn | die |
//             nogreet | greet-and-exit | deaf | slow        (default ok)
// FAKE_PIN    the PIN that GETPIN answers, sent percent-escaped
// FAKE_FLAVOR the answer to GETINFO flavor (default gtk2)
// FAKE_LOG    a file that gets "pid N", every command line as received, and "exit N"
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

namespace {

std::string env(const char* name, const char* fallback) {
    const char* value = std::getenv(name);
    return value ? value : fallback;
}

void note(const std::string& text) {
    const std::string path = env("FAKE_LOG", "");
    if (path.empty()) return;
    if (FILE* file = std::fopen(path.c_str(), "a")) {
        std::fprintf(file, "%s\n", text.c_str());
        std::fclose(file);
    }
}

void say(const std::string& line) {
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

std::string escaped(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        if (c == '%' || c < 0x20) {
            char buffer[4];
            std::snprintf(buffer, sizeof buffer, "%%%02X", c);
            out += buffer;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

[[noreturn]] void hang() {
    for (;;) pause();
}

void answer_pin(const std::string& mode, int timeout) {
    const std::string pin = escaped(env("FAKE_PIN", "1234"));
    if (mode == "cancel") return say("ERR 83886179 Operation cancelled <Pinentry>");
    if (mode == "empty") return say("OK");
    if (mode == "die") std::_Exit(3);
    if (mode == "hang") hang();
    if (mode == "stubborn") {
        signal(SIGTERM, SIG_IGN);
        hang();
    }
    if (mode == "timeout") {
        if (timeout <= 0) hang();
        std::this_thread::sleep_for(std::chrono::seconds(timeout));
        return say("ERR 83886142 Timeout <Pinentry>");
    }
    if (mode == "slow") std::this_thread::sleep_for(std::chrono::milliseconds(300));
    if (mode == "chatty") {
        say("# a comment");
        say("S PROGRESS 1");
    }
    if (mode == "inquire") {
        say("INQUIRE QUALITY 1234");
        char reply[256];
        if (!std::fgets(reply, sizeof reply, stdin)) std::_Exit(4);
        reply[std::strcspn(reply, "\n")] = '\0';
        note(reply);
    }
    if (mode == "split") {
        // One character or one escape per line: Assuan never splits an escape across lines.
        for (std::size_t at = 0; at < pin.size();) {
            const std::size_t length = pin[at] == '%' ? 3 : 1;
            say("D " + pin.substr(at, length));
            at += length;
        }
    } else if (!pin.empty()) {
        say("D " + pin);
    }
    say("OK");
}

}  // namespace

int main() {
    const std::string mode = env("FAKE_MODE", "ok");
    note("pid " + std::to_string(getpid()));
    if (mode == "nogreet") hang();
    if (mode == "deaf") shutdown(STDIN_FILENO, SHUT_RD);  // every write of the client now fails (EPIPE)
    say("OK Pleased to meet you");
    if (mode == "greet-and-exit") {
        note("exit 0");
        return 0;
    }
    int timeout = 0;
    char buffer[4096];
    while (std::fgets(buffer, sizeof buffer, stdin)) {
        std::string line(buffer);
        if (!line.empty() && line.back() == '\n') line.pop_back();
        note(line);
        if (line == "GETINFO flavor") {
            say("D " + env("FAKE_FLAVOR", "gtk2"));
            say("OK");
        } else if (line.rfind("SETTIMEOUT ", 0) == 0) {
            timeout = std::atoi(line.c_str() + 11);
            say("OK");
        } else if (line == "GETPIN") {
            answer_pin(mode, timeout);
        } else if (line == "BYE") {
            say("OK closing connection");
            break;
        } else {
            say("OK");
        }
    }
    note("exit 0");
    return 0;
}
