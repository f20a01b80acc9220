// Times whole-process round trips of GET_INFO through the host against a frame-echo program,
// alternating the two, and prints both medians, their ratio and the host's peak resident memory.
//
//   veldra-bench-roundtrip HOST ECHO [RUNS]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "child_process.h"

namespace {

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// Milliseconds of one round trip; exits when the program does not answer with one frame.
double round_trip(const std::string& program, const std::string& input, long& rss) {
    const auto start = std::chrono::steady_clock::now();
    const ChildResult run = run_child(program, {}, input);
    const auto end = std::chrono::steady_clock::now();
    std::string text;
    if (!run.started || run.exit_code != 0 || !unframe_text(run.output, text)) {
        std::fprintf(stderr, "%s did not answer (%s)\n", program.c_str(), run.error.c_str());
        std::exit(1);
    }
    rss = std::max(rss, run.max_rss_kib);
    return std::chrono::duration<double, std::milli>(end - start).count();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s HOST ECHO [RUNS]\n", argv[0]);
        return 2;
    }
    const int runs = argc > 3 ? std::max(1, std::atoi(argv[3])) : 50;
    const std::string input = frame_text(R"({"cmd":"GET_INFO"})");
    long hostRss = 0, echoRss = 0;
    round_trip(argv[1], input, hostRss);  // first use writes the state file: not timed
    round_trip(argv[2], input, echoRss);
    std::vector<double> host, echo;
    for (int i = 0; i < runs; ++i) {
        host.push_back(round_trip(argv[1], input, hostRss));
        echo.push_back(round_trip(argv[2], input, echoRss));
    }
    const double h = median(host), e = median(echo);
    std::printf("runs            %d each, alternating\n", runs);
    std::printf("host median     %.3f ms\n", h);
    std::printf("echo median     %.3f ms\n", e);
    std::printf("host peak RSS   %.2f MiB (echo %.2f MiB)\n", hostRss / 1024.0, echoRss / 1024.0);
    std::printf("ratio %.2f (target <= 1.5; peak RSS target <= 8 MiB)\n", h / e);
    return 0;
}
