// Whole requests through the built host: answers, exit codes, the state file, the log.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "host_process.h"

using hosttest::HostOptions;
using hosttest::request;
using hosttest::TempDir;

namespace {

const std::string INFO = R"({"version":"2.0.2","binVersion":"2.0.14"})";

// Every run gets a home of its own, so the machine's user is never touched.
class Host : public hosttest::PrivateHomeTest {
protected:
    std::string state_file() const { return home_.path() + "/.local/share/Veldra/appstate"; }
    static mode_t mode_of(const std::string& path) {
        struct stat info {};
        stat(path.c_str(), &info);
        return info.st_mode & 07777;
    }
};

}  // namespace

TEST_F(Host, GetInfoIsOneExactFrameAndExitCodeZero) {
    const auto run = request(R"({"cmd":"GET_INFO"})", options());
    EXPECT_EQ(run.out, hosttest::frame(INFO));
    // The browser passes its own arguments (the caller's origin, a manifest path): they change nothing.
    auto withArgs = options();
    withArgs.args = {"chrome-extension://abcdefghijklmnopabcdefghijklmnop/", "--parent-window=0"};
    EXPECT_EQ(request(R"({"cmd":"GET_INFO"})", withArgs).out, hosttest::frame(INFO));
}

TEST_F(Host, ErrorAnswersAreValidJsonAndTheirLengthCountsTheNewline) {
    const std::string requests[] = {R"({"cmd":"NOPE"})", R"({"cmd":"A\"B","x":"back\\slash"})",
                                    "{\"cmd\":\"raw\nnewline\"}", "{\"cmd\":\"\xc3\x28\"}", "not json at all"};
    for (const auto& text : requests) {
        const auto run = request(text, options());
        const auto answer = run.answer().value_or("");
        ASSERT_TRUE(nlohmann::json::accept(answer)) << answer;
        EXPECT_EQ(nlohmann::json::parse(answer)["error"]["code"], 99);
        EXPECT_EQ(answer.back(), '\n');
    }
    EXPECT_EQ(request(R"({"cmd":"NOPE"})", options()).answer(),
              "{\"error\": { \"code\":99,\"id\":99,\"message\":\"Error handling JSON message [{ cmd : NOPE }]. "
              "Unknown command [NOPE]\"}}\n");
}

TEST_F(Host, TimeoutCommandAgainstTheWatchdog) {
    // The limit is shorter than the sleep: the watchdog answers after about a second.
    auto fired = std::async(std::launch::async,
                            [&] { return request(R"({"cmd":"TIMEOUT","sleep":5,"timeout":1})", options()); });
    // No limit: the command's own answer after its sleep.
    const auto rested = request(R"({"cmd":"TIMEOUT","sleep":2,"timeout":0})", options());
    const auto timedOut = fired.get();
    EXPECT_EQ(timedOut.answer(),
              "{\"error\": { \"code\":14,\"id\":14,\"message\":\"Timeout processing message "
              "[{ cmd : TIMEOUT , sleep :5, timeout :1}]\"}}\n");
    EXPECT_GE(timedOut.elapsed.count(), 1000);
    EXPECT_LT(timedOut.elapsed.count(), 4000);
    EXPECT_EQ(rested.answer(), R"({"rested":true})");
    EXPECT_GE(rested.elapsed.count(), 2000);
}

TEST_F(Host, FirstUseWritesAPrivateStateFileThatLaterRequestsKeep) {
    request(R"({"cmd":"GET_INFO"})", options());
    std::ifstream in(state_file());
    std::stringstream first;
    first << in.rdbuf();
    EXPECT_EQ(first.str().size(), 48u);
    EXPECT_EQ(first.str().rfind("key=", 0), 0u);
    EXPECT_EQ(mode_of(state_file()), 0600u);
    EXPECT_EQ(mode_of(home_.path() + "/.local/share/Veldra"), 0700u);
    chmod(state_file().c_str(), 0666);
    request(R"({"cmd":"GET_INFO"})", options());
    std::ifstream again(state_file());
    std::stringstream second;
    second << again.rdbuf();
    EXPECT_EQ(second.str(), first.str());
    EXPECT_EQ(mode_of(state_file()), 0600u);
}

TEST_F(Host, TenHostsStartingAtOnceForANewUserShareOneKey) {
    std::vector<std::future<hosttest::HostRun>> runs;
    for (int i = 0; i < 10; ++i)
        runs.push_back(std::async(std::launch::async, [&] { return request(R"({"cmd":"GET_INFO"})", options()); }));
    for (auto& run : runs) EXPECT_EQ(run.get().answer(), INFO);
    const auto folder = home_.path() + "/.local/share/Veldra";
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) names.insert(entry.path().filename());
    EXPECT_EQ(names, (std::set<std::string>{".appstate.lock", "appstate"}));  // no temporary left behind
}

// The libraries the host opens on first use stay unloaded by a request that needs none of them
// (GET_INFO with the state file in place): loading and binding them would cost every start.
TEST_F(Host, GetInfoLoadsNoLibraryOfFirstUse) {
    request(R"({"cmd":"GET_INFO"})", options());  // the first one writes the state file
    HostOptions traced = options();
    traced.env["LD_DEBUG"] = "files";
    const auto run = request(R"({"cmd":"GET_INFO"})", traced);
    EXPECT_NE(run.err.find("libc.so"), std::string::npos) << run.err;  // the loader did report
    for (const char* library : {"libcrypto", "libpcsclite", "libudev"})
        EXPECT_EQ(run.err.find(library), std::string::npos) << library << " loaded:\n" << run.err;
}

TEST_F(Host, DebugSwitchGatesTheHostLinesAndSecretsAreMasked) {
    const auto quiet = request(R"({"cmd":"NOPE","pin":"12345678"})", options());
    EXPECT_EQ(quiet.err.find("PLUGIN-NATIVE-DEBUG"), std::string::npos);
    EXPECT_NE(quiet.err.find("submit response 0 for request"), std::string::npos);
    const auto loud = request(R"({"cmd":"NOPE","debug":"true","pin":"12345678","pinToken":"c2VjcmV0"})", options());
    EXPECT_NE(loud.err.find("[PLUGIN-NATIVE-DEBUG] (extension_io.cpp"), std::string::npos);
    EXPECT_NE(loud.err.find("sent ["), std::string::npos);
    EXPECT_NE(loud.err.find("Native host stopped"), std::string::npos);
    for (const auto* run : {&quiet, &loud}) {
        EXPECT_EQ(run->err.find("12345678"), std::string::npos) << run->err;
        EXPECT_EQ(run->err.find("c2VjcmV0"), std::string::npos) << run->err;
    }
}
