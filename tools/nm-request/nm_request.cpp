// Sends one native messaging request to the host and prints the decoded answer and the exit code.
//
//   nm-request [--host PATH] [JSON]     (the request is read from standard input without JSON)
#include <iostream>
#include <iterator>
#include <string>

#include "child_process.h"

namespace {

std::string default_host(const char* self) {
    std::string path(self);
    const size_t slash = path.rfind('/');
    return (slash == std::string::npos ? std::string(".") : path.substr(0, slash)) + "/veldra-native-host";
}

int usage() {
    std::cerr << "usage: nm-request [--host PATH] [JSON]\n"
                 "Frames JSON (or standard input), runs the host on it, prints the answer and the exit code.\n";
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
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

    const ChildResult run = run_child(host, {}, frame_text(request));
    if (!run.started) {
        std::cerr << "nm-request: cannot start " << host << ": " << run.error << "\n";
        return 1;
    }
    std::string text;
    if (!unframe_text(run.output, text)) {
        std::cout << "(no complete answer frame: " << run.output.size() << " bytes)\n";
    } else {
        if (run.output.size() != text.size() + 4) std::cout << "(bytes after the answer frame)\n";
        std::cout << text;
        if (text.empty() || text.back() != '\n') std::cout << "\n";
    }
    if (run.exit_code < 0) {
        std::cout << "host ended by signal " << run.signal << "\n";
        return 1;
    }
    std::cout << "exit code: " << run.exit_code << "\n";
    return 0;
}
