// Times round trips of GET_INFO through hosts against a frame-echo baseline, taking the programs in
// turn: until the answer has arrived (what a browser waits for) and until the process has exited
// (its whole cost). Prints the medians and minima, their ratios to the baseline's and the peak
// resident memory.
//
//   veldra-bench-roundtrip RUNS BASELINE_LABEL=PROGRAM LABEL=PROGRAM...
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "child_process.h"

namespace {

struct Program {
    std::string label;
    std::string path;
    std::vector<double> answers, exits;
    long rss = 0;
};

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// One round trip, kept when timed; exits when the program does not answer with one frame.
void round_trip(Program& program, const std::string& input, bool timed) {
    const ChildResult run = run_child(program.path, {}, input);
    std::string text;
    if (!run.started || run.exit_code != 0 || !unframe_text(run.output, text)) {
        std::fprintf(stderr, "%s did not answer (%s)\n", program.path.c_str(), run.error.c_str());
        std::exit(1);
    }
    program.rss = std::max(program.rss, run.max_rss_kib);
    if (!timed) return;
    program.answers.push_back(run.answer_ms);
    program.exits.push_back(run.exit_ms);
}

double least(const std::vector<double>& values) { return *std::min_element(values.begin(), values.end()); }

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
        programs.push_back({arg.substr(0, eq), arg.substr(eq + 1), {}, {}, 0});
    }
    const std::string input = frame_text(R"({"cmd":"GET_INFO"})");
    for (Program& p : programs) round_trip(p, input, false);  // first use writes the state file: not timed
    for (int i = 0; i < runs; ++i)
        for (Program& p : programs) round_trip(p, input, true);

    const Program& base = programs.front();
    std::printf("GET_INFO round trips, %d of each, in turn (ratio to %s; target <= 1.5, peak RSS <= 8 MiB)\n", runs,
                base.label.c_str());
    std::printf("  %-34s %18s %18s %18s\n", "", "answer median", "exit median", "answer minimum");
    for (const Program& p : programs) {
        const double answer = median(p.answers), exit = median(p.exits), first = least(p.answers);
        std::printf("  %-34s %6.3f ms (%4.2f)   %6.3f ms (%4.2f)   %6.3f ms (%4.2f)  peak RSS %.2f MiB\n",
                    p.label.c_str(), answer, answer / median(base.answers), exit, exit / median(base.exits), first,
                    first / least(base.answers), p.rss / 1024.0);
    }
    return 0;
}
