// veldra-native-host.exe under Wine, frames on its standard input, against the Linux host: both get
// the same bytes, both must answer the same bytes and exit 0. VELDRA_WINDOWS_HOST names the .exe;
// WINEPREFIX and DISPLAY come from scripts/windows-test.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdlib>
#include <future>
#include <string>
#include <utility>

#include "host_process.h"

using hosttest::HostOptions;
using hosttest::HostRun;
using hosttest::run_host;
using hosttest::TempDir;

namespace {

std::string windows_host() {
    const char* path = std::getenv("VELDRA_WINDOWS_HOST");
    return path ? path : "";
}

std::string length_prefix(uint32_t n) {
    return std::string{static_cast<char>(n), static_cast<char>(n >> 8), static_cast<char>(n >> 16),
                       static_cast<char>(n >> 24)};
}

class HostThroughWine : public testing::Test {
protected:
    void SetUp() override {
        if (windows_host().empty()) FAIL() << "VELDRA_WINDOWS_HOST is not set (run scripts/windows-test)";
    }
    HostOptions linux_options() const {
        HostOptions o;
        o.env["HOME"] = home_.path();
        o.unset_env = {"XDG_DATA_HOME"};
        return o;
    }
    HostOptions windows_options() const {
        HostOptions o;
        o.program = "/usr/bin/wine";
        o.args = {windows_host()};
        o.env["WINEDEBUG"] = "-all";
        o.limit = std::chrono::milliseconds(60000);
        return o;
    }
    // The same input to both hosts at once; their runs, Linux first.
    std::pair<HostRun, HostRun> both(const std::string& input) {
        auto onLinux = std::async(std::launch::async, [&] { return run_host(input, linux_options()); });
        HostRun onWindows = run_host(input, windows_options());
        return {onLinux.get(), std::move(onWindows)};
    }
    void expect_same(const std::string& input, const char* what) {
        const auto [onLinux, onWindows] = both(input);
        EXPECT_EQ(onLinux.exit_code, 0) << what;
        EXPECT_EQ(onWindows.exit_code, 0) << what << "\n" << onWindows.err;
        EXPECT_FALSE(onWindows.timed_out) << what;
        EXPECT_EQ(onWindows.out, onLinux.out) << what << "\nWindows stderr:\n" << onWindows.err;
        ASSERT_TRUE(onWindows.answer().has_value()) << what;
    }
    TempDir home_;
};

}  // namespace

TEST_F(HostThroughWine, BuiltInCommandsAnswerAsOnLinux) {
    expect_same(hosttest::frame(R"({"cmd":"GET_INFO"})"), "GET_INFO");
    expect_same(hosttest::frame(R"({"cmd":"GET_INFO","debug":"true"})"), "GET_INFO with debug");
    expect_same(hosttest::frame(R"({"cmd":"NO_SUCH_COMMAND"})"), "unknown command");
    expect_same(hosttest::frame(R"({"cmd":"TIMEOUT","sleep":1,"timeout":0})"), "TIMEOUT answered");
    expect_same(hosttest::frame(R"({"cmd":"TIMEOUT","sleep":4,"timeout":1})"), "TIMEOUT by the watchdog");
}

TEST_F(HostThroughWine, BytesThatTextModeWouldChangeTravelUntouched) {
    // CR LF, a lone LF, Ctrl-Z and a NUL-free high byte inside the request; a text-mode stream would
    // shorten the frame or end it at the Ctrl-Z.
    expect_same(hosttest::frame("{\"cmd\":\"GET_INFO\",\"x\":\"a\r\nb\nc\x1a" "d\xc3\xa9\"}"), "control bytes");
    expect_same(hosttest::frame("{\"cmd\":\"UNKNOWN\r\n\x1a\"}"), "control bytes quoted in the answer");
    expect_same(hosttest::frame(R"({"cmd":"GET_INFO"})") + "\r\n\x1a trailing bytes", "bytes after the frame");
}

TEST_F(HostThroughWine, FramingErrorsAnswerAsOnLinux) {
    expect_same(length_prefix(0), "empty text");
    expect_same(length_prefix(4194303) + "{}", "length at the bound");
    expect_same(length_prefix(0x80000010u) + "{}", "highest bit set");
    expect_same("{not json}", "text instead of a frame");
}

TEST_F(HostThroughWine, ShortInputsWaitTheReadWindowThenAnswerAsOnLinux) {
    expect_same("", "nothing on standard input");
    expect_same(length_prefix(10) + "{\"cmd\"", "declared 10 bytes, 6 sent");
}

TEST_F(HostThroughWine, PadAndSystemCommandsAnswerWithoutAPadSdk) {
    HostRun pads = run_host(hosttest::frame(R"({"cmd":"GET_PADS"})"), windows_options());
    EXPECT_EQ(pads.exit_code, 0);
    EXPECT_EQ(pads.answer(), R"({"padList": []})") << pads.err;

    HostRun system = run_host(hosttest::frame(R"({"cmd":"GET_SYSTEM_INFO"})"), windows_options());
    EXPECT_EQ(system.exit_code, 0);
    ASSERT_TRUE(system.answer().has_value()) << system.err;
    const auto answer = nlohmann::json::parse(*system.answer());
    ASSERT_TRUE(answer["deviceList"].is_array()) << *system.answer();
    for (const auto& device : answer["deviceList"]) {
        const std::string vidpid = device["vidpid"];
        EXPECT_EQ(vidpid.find(':'), 4u) << vidpid;
    }
    ASSERT_EQ(answer["packageList"].size(), 2u);
    EXPECT_EQ(answer["packageList"][0]["component"], "stepover");
    EXPECT_EQ(answer["packageList"][1]["component"], "vasco");
}

TEST_F(HostThroughWine, StateFileIsCreatedUnderLocalAppDataAndKeptBetweenRequests) {
    const std::string prefix = std::getenv("WINEPREFIX") ? std::getenv("WINEPREFIX") : "";
    ASSERT_FALSE(prefix.empty());
    const std::string user = std::getenv("USER") ? std::getenv("USER") : "root";
    const std::string file = prefix + "/drive_c/users/" + user + "/AppData/Local/Veldra/appstate";
    std::remove(file.c_str());
    ASSERT_TRUE(run_host(hosttest::frame(R"({"cmd":"GET_INFO"})"), windows_options()).answer().has_value());
    std::string first;
    {
        FILE* in = std::fopen(file.c_str(), "rb");
        ASSERT_NE(in, nullptr) << file;
        char buffer[128] = {};
        first.assign(buffer, std::fread(buffer, 1, sizeof buffer, in));
        std::fclose(in);
    }
    EXPECT_EQ(first.size(), 48u);
    EXPECT_EQ(first.rfind("key=", 0), 0u);
    EXPECT_EQ(first.back(), '=');
    ASSERT_TRUE(run_host(hosttest::frame(R"({"cmd":"GET_INFO"})"), windows_options()).answer().has_value());
    FILE* in = std::fopen(file.c_str(), "rb");
    ASSERT_NE(in, nullptr);
    char buffer[128] = {};
    const std::string second(buffer, std::fread(buffer, 1, sizeof buffer, in));
    std::fclose(in);
    EXPECT_EQ(second, first);
}
