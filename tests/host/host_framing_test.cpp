// The frame on standard input: bounds, short and silent inputs.
#include <gtest/gtest.h>

#include <string>

#include "host_process.h"

using hosttest::HostOptions;
using hosttest::run_host;
using hosttest::TempDir;

namespace {

const std::string NO_REQUEST =
    "{\"error\": { \"code\":99,\"id\":99,\"message\":\"No request received after 10 seconds\"}}\n";

std::string length_prefix(uint32_t n) {
    return std::string{static_cast<char>(n), static_cast<char>(n >> 8), static_cast<char>(n >> 16),
                       static_cast<char>(n >> 24)};
}

class Framing : public hosttest::PrivateHomeTest {
protected:
    void expect_no_request(const hosttest::HostRun& run) {
        EXPECT_EQ(run.exit_code, 0);
        EXPECT_EQ(run.out, hosttest::frame(NO_REQUEST));
    }
};

// A JSON request of exactly n bytes.
std::string request_of_size(size_t n) {
    const std::string head = R"({"cmd":"GET_INFO","pad":")", tail = "\"}";
    return head + std::string(n - head.size() - tail.size(), 'a') + tail;
}

}  // namespace

TEST_F(Framing, LengthBounds) {
    const auto largest = run_host(hosttest::frame(request_of_size(4194302)), options());
    EXPECT_EQ(largest.answer(), R"({"version":"2.0.2","binVersion":"2.0.14"})");
    // Refused from the prefix alone, without waiting for the text.
    for (uint32_t n : {4194303u, 0x80000010u, 0xFFFFFFFFu}) {
        const auto run = run_host(length_prefix(n) + "{}", options());
        expect_no_request(run);
        EXPECT_LT(run.elapsed.count(), 5000) << n;
    }
}

TEST_F(Framing, EmptyTextIsInvalidJsonAndTrailingBytesAreIgnored) {
    EXPECT_EQ(run_host(length_prefix(0), options()).answer(),
              "{\"error\": { \"code\":99,\"id\":99,\"message\":\"Invalid JSON message []\"}}\n");
    const auto run = run_host(hosttest::frame(R"({"cmd":"GET_INFO"})") + "garbage after the frame", options());
    EXPECT_EQ(run.answer(), R"({"version":"2.0.2","binVersion":"2.0.14"})");
}

// The three ways a frame can fail to arrive: an input that ended is answered at once, one that stays
// open and silent after the 10-second window.
TEST_F(Framing, MissingShortAndSilentInputs) {
    for (const std::string& ended : {std::string(), std::string("\x05\x00", 2), length_prefix(10) + "{\"cmd"}) {
        const auto run = run_host(ended, options());
        expect_no_request(run);
        EXPECT_LT(run.elapsed.count(), 5000) << ended.size();
    }
    HostOptions o = options();
    o.close_stdin = false;  // open and silent, as a stuck browser would leave it
    const auto silent = run_host(length_prefix(20) + "{", o);
    expect_no_request(silent);
    EXPECT_GE(silent.elapsed.count(), 9000);
    EXPECT_LT(silent.elapsed.count(), 20000);
    // Waiting on a silent input does not spin a core.
    EXPECT_LT(silent.cpu.count(), 1500);
}
