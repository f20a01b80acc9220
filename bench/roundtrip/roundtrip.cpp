// Times whole-process round trips of GET_INFO through hosts against a frame-echo baseline, taking
// the programs in turn, and prints each median and minimum, their ratios to the baseline's and the
// peak resident memory.
//
//   veldra-bench-roundtrip RUNS BASELINE_LABEL=PROGRAM LABEL=PROGRAM...
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "child_process.h"

namespace {

struct Program {
    std::string label;
    std::string path;
    std::vector<double> times;
    long rss = 0;
};

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// Milliseconds of one round trip; exits when the program does not answer with one frame.
double round_trip(Program& program, const std::string& input) {
    const auto start = std::chrono::steady_clock::now();
    const ChildResult run = run_child(program.path, {}, input);
    const auto end = std::chrono::steady_clock::now();
    std::string text;
    if (!run.started || run.exit_code != 0 || !unframe_text(run.output, text)) {
        std::fprintf(stderr, "%s did not answer (%s)\n", program.path.c_str(), run.error.c_str());
        std::exit(1);
    }
    program.rss = std::max(program.rss, run.max_rss_kib);
    return std::chrono::duration<double, std::milli>(end - start).count();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s RUNS BASELINE_LABEL=PROGRAM LABEL=PROGRAM...\n", argv[0]);
        return 2;
    }
    const int runs = std::max(1, std::atoi(argv[1]));
    std::vector<Program> programs;
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        const size_t eq = arg.find('=');
        if (eq == std::string::npos) {
            std::fprintf(stderr, "%s: LABEL=PROGRAM expected\n", argv[i]);
            return 2;
        }
        programs.push_back({arg.substr(0, eq), arg.substr(eq + 1), {}, 0});
    }
    const std::string input = frame_text(R"({"cmd":"GET_INFO"})");
    for (Program& p : programs) round_trip(p, input);  // first use writes the state file: not timed
    for (int i = 0; i < runs; ++i)
        for (Program& p : programs) p.times.push_back(round_trip(p, input));

    const double base = median(programs.front().times);
    const double baseMin = *std::min_element(programs.front().times.begin(), programs.front().times.end());
    std::printf("GET_INFO round trips, %d of each, in turn (ratio to %s; target <= 1.5, peak RSS <= 8 MiB)\n", runs,
                programs.front().label.c_str());
    std::printf("  %-34s %9s %6s %9s %6s\n", "", "median", "ratio", "minimum", "ratio");
    for (const Program& p : programs) {
        const double m = median(p.times);
        const double least = *std::min_element(p.times.begin(), p.times.end());
        std::printf("  %-34s %6.3f ms %6.2f %6.3f ms %6.2f  peak RSS %.2f MiB\n", p.label.c_str(), m, m / base, least,
                    least / baseMin, p.rss / 1024.0);
    }
    return 0;
}
