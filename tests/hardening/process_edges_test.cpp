// What the host process makes sure of whatever it is started with: no core file, closed standard
// descriptors, and a state file that is not what it should be (a FIFO, a huge file, the temporary
// files of killed hosts).
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <thread>
#include <utility>
#include <vector>
#include <string>

#include "host_process.h"

using hosttest::HostOptions;
using hosttest::HostRun;

namespace {

namespace fs = std::filesystem;

const std::string INFO = R"({"version":"2.0.2","binVersion":"2.0.14"})";

class ProcessEdges : public hosttest::PrivateHomeTest {
protected:
    std::string folder() const { return home_.path() + "/.local/share/Veldra"; }
};

}  // namespace

// A crash during a request leaves no core file, however high the limit the host was started with.
TEST_F(ProcessEdges, ACrashLeavesNoCoreFile) {
    rlimit saved{};
    getrlimit(RLIMIT_CORE, &saved);
    rlimit raised = saved;
    raised.rlim_cur = saved.rlim_max;
    ASSERT_EQ(setrlimit(RLIMIT_CORE, &raised), 0);
    const hosttest::TempDir cwd;
    HostOptions o = options();
    o.cwd = cwd.path();
    o.limit = std::chrono::milliseconds(1500);
    o.limit_signal = SIGABRT;
    const HostRun run = hosttest::run_host(hosttest::frame(R"({"cmd":"TIMEOUT","sleep":5,"timeout":9})"), o);
    setrlimit(RLIMIT_CORE, &saved);
    EXPECT_EQ(run.signal, SIGABRT);
    EXPECT_FALSE(run.core_dumped);
    EXPECT_TRUE(fs::is_empty(cwd.path()));
}

// Started with standard error, output or both closed, the host has the null device there while it
// runs (not the PIN dialog's wake descriptor, the lock file or pcscd's socket), and still answers
// where it can.
TEST_F(ProcessEdges, ClosedStandardDescriptorsAreTheNullDevice) {
    const std::string request = hosttest::frame(R"({"cmd":"TIMEOUT","sleep":1,"timeout":5,"debug":"true"})");
    for (const auto& [out, err] : {std::pair{false, true}, {true, false}, {true, true}}) {
        HostOptions o = options();
        o.closed_stdout = out;
        o.closed_stderr = err;
        std::future<std::vector<std::string>> seen;
        o.started = [&seen](int pid) {
            seen = std::async(std::launch::async, [pid] {
                std::this_thread::sleep_for(std::chrono::milliseconds(500));
                std::vector<std::string> targets;
                for (int fd : {1, 2}) {
                    std::error_code error;
                    targets.push_back(
                        fs::read_symlink("/proc/" + std::to_string(pid) + "/fd/" + std::to_string(fd), error));
                }
                return targets;
            });
        };
        const HostRun run = hosttest::run_host(request, o);
        EXPECT_EQ(run.exit_code, 0);
        if (!out) {
            EXPECT_EQ(run.answer(), R"({"rested":true})");
        }
        const auto targets = seen.get();
        EXPECT_EQ(out ? targets[0] : "/dev/null", "/dev/null") << "stdout closed";
        EXPECT_EQ(err ? targets[1] : "/dev/null", "/dev/null") << "stderr closed " << out;
    }
}

// A FIFO in place of the state file is refused at once, with a message that says so.
TEST_F(ProcessEdges, AFifoAsStateFileIsRefusedAtOnce) {
    EXPECT_EQ(hosttest::request(R"({"cmd":"GET_INFO"})", options()).answer(), INFO);
    fs::remove(folder() + "/appstate");
    ASSERT_EQ(mkfifo((folder() + "/appstate").c_str(), 0600), 0);
    const HostRun run = hosttest::request(R"({"cmd":"GET_INFO"})", options());
    EXPECT_EQ(run.answer(), R"({"error": { "code":99,"id":99,"message":"appstate file is not a regular file"}})"
                            "\n");
    EXPECT_LT(run.elapsed, std::chrono::seconds(3));
}

// Whatever follows the key line of a huge state file is never read.
TEST_F(ProcessEdges, AHugeStateFileIsReadOnlyAtItsStart) {
    EXPECT_EQ(hosttest::request(R"({"cmd":"GET_INFO"})", options()).answer(), INFO);
    const std::string path = folder() + "/appstate";
    {
        // Written in pieces: the peak memory of this process counts as the host's (spawned from it).
        std::ofstream out(path, std::ios::app);
        const std::string piece(1 << 20, 'x');
        for (int i = 0; i < 100; ++i) out << piece;
    }
    const HostRun run = hosttest::request(R"({"cmd":"GET_INFO"})", options());
    EXPECT_EQ(run.answer(), INFO);
    EXPECT_LT(run.max_rss_kib, 64 * 1024);
}

// A temporary key file that a killed host left is removed by the next host that writes a key; one
// that another host is writing now is left alone.
TEST_F(ProcessEdges, StaleTemporaryKeyFilesAreRemoved) {
    EXPECT_EQ(hosttest::request(R"({"cmd":"GET_INFO"})", options()).answer(), INFO);
    fs::remove(folder() + "/appstate");
    const std::string stale = folder() + "/.appstate.Ab12Cd", fresh = folder() + "/.appstate.Ef34Gh";
    std::ofstream(stale) << "key=";
    std::ofstream(fresh) << "key=";
    fs::last_write_time(stale, fs::file_time_type::clock::now() - std::chrono::minutes(2));
    EXPECT_EQ(hosttest::request(R"({"cmd":"GET_INFO"})", options()).answer(), INFO);
    EXPECT_FALSE(fs::exists(stale));
    EXPECT_TRUE(fs::exists(fresh));
}
