// A Windows program run under Wine with frames on its standard input, for the tests of this folder.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "host_process.h"

namespace winetest {

inline const std::string NO_REQUEST =
    "{\"error\": { \"code\":99,\"id\":99,\"message\":\"No request received after 10 seconds\"}}\n";

// The options that run program (a Windows .exe) under Wine, its debug channels quiet.
inline hosttest::HostOptions wine_options(const std::string& program) {
    hosttest::HostOptions o;
    o.program = "/usr/bin/wine";
    o.args = {program};
    o.env["WINEDEBUG"] = "-all";
    o.limit = std::chrono::milliseconds(60000);
    return o;
}

// The run of a Windows host under Wine. Now and then, more often on a loaded machine, Wine hands the
// program no byte of a complete frame written to its standard input, and the host answers "No request
// received" after its read window (seen a few times per hundred runs under load, never alone); such a
// run is repeated, at most twice, and each repeat is said so.
inline hosttest::HostRun run_through_wine(const std::string& input, const hosttest::HostOptions& options) {
    const bool completeFrame = input.size() >= 4 && input[3] == 0 &&
                               static_cast<uint8_t>(input[0]) + (static_cast<uint8_t>(input[1]) << 8) +
                                       (static_cast<uint8_t>(input[2]) << 16) + 4u ==
                                   input.size();
    hosttest::HostRun run = hosttest::run_host(input, options);
    for (int repeat = 1; repeat <= 2 && completeFrame && run.out == hosttest::frame(NO_REQUEST); ++repeat) {
        std::fprintf(stderr, "note: Wine delivered no standard input to the host; the run is repeated (%d)\n", repeat);
        testing::Test::RecordProperty("wine_stdin_repeat", repeat);
        run = hosttest::run_host(input, options);
    }
    return run;
}

}  // namespace winetest
