// Runs the built host as a browser does: a frame on standard input, a frame back on standard output.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace hosttest {

// The host binary of this build (build/bin/veldra-native-host).
std::string host_path();
// A folder of the build tree (bin/) for other built programs.
std::string bin_dir();

// Four little-endian length bytes followed by the text.
std::string frame(const std::string& text);

struct HostRun {
    std::string out;           // everything written to standard output
    std::string err;           // everything written to standard error
    int exit_code = -1;        // -1 when killed or not exited
    int signal = 0;            // terminating signal, 0 when it exited
    bool core_dumped = false;  // it left a core file
    bool timed_out = false;    // killed after the run's limit
    std::chrono::milliseconds elapsed{0};
    std::chrono::milliseconds cpu{0};  // user + system time the program used
    long max_rss_kib = 0;              // its peak resident memory

    // The answer's text when out is exactly one frame; nullopt otherwise.
    std::optional<std::string> answer() const;
};

struct HostOptions {
    std::map<std::string, std::string> env;  // added to (or replacing in) the environment
    std::vector<std::string> unset_env;      // removed from the environment
    bool close_stdin = true;                 // close standard input after writing the input
    std::chrono::milliseconds limit{30000};  // the run is killed after this
    std::string program;                     // default: host_path()
    std::vector<std::string> args;           // arguments after the program name
    bool closed_stdout = false;              // start the program with descriptor 1 closed
    bool closed_stderr = false;              // start the program with descriptor 2 closed
    std::string cwd;                         // its working directory; default: this one's
    int limit_signal = 9;                    // the signal that ends it at the limit (SIGKILL)
    std::function<void(int pid)> started;    // called with its process id once it runs
};

// Starts the program, writes input, collects its output until it exits (or the limit passes).
HostRun run_host(const std::string& input, const HostOptions& options = {});
// A framed request and its answer text; fails the current test when the answer is not one frame.
HostRun request(const std::string& json, const HostOptions& options = {});

// When VELDRA_WINDOWS_HOST names the Windows host's .exe (scripts/windows-test) and options name no
// program of their own, options run that .exe under Wine instead of this build's host. Whether so.
bool use_windows_host(HostOptions& options);

// A fresh temporary folder, removed with the object (used as HOME / XDG_DATA_HOME).
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// A test whose host runs get a home folder of their own, so the machine's user is never touched.
class PrivateHomeTest : public testing::Test {
protected:
    HostOptions options() const {
        HostOptions o;
        o.env["HOME"] = home_.path();
        o.unset_env = {"XDG_DATA_HOME"};
        return o;
    }
    TempDir home_;
};

}  // namespace hosttest
