// UserInputImpl with the real pinentry-gtk-2 on a private Xvfb, driven by xdotool.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "user_input_impl.h"
#include "xvfb.h"

extern char** environ;

namespace {

using namespace std::chrono;
namespace fs = std::filesystem;

const char* kGtkPinentry = "/usr/bin/pinentry-gtk-2";
const char* kPrompt = "Please provide PIN code for requested operation:";

// Runs a tool to its end: whether it exited with 0, and its standard output.
struct ToolRun {
    bool ok = false;
    std::string out;
};

ToolRun run(std::vector<std::string> args) {
    ToolRun result;
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) return result;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[1]);
    if (rc == 0) {
        char buffer[256];
        ssize_t n;
        while ((n = read(pipeFds[0], buffer, sizeof buffer)) > 0) result.out.append(buffer, n);
        int status = 0;
        waitpid(pid, &status, 0);
        result.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    close(pipeFds[0]);
    return result;
}

// The visible windows titled exactly `title` (a regular expression for xdotool).
std::string find_window(const std::string& pattern) {
    const ToolRun found = run({"xdotool", "search", "--onlyvisible", "--name", pattern});
    return found.ok ? found.out.substr(0, found.out.find('\n')) : std::string();
}

std::string wait_for_window(const std::string& pattern) {
    const auto until = steady_clock::now() + seconds(10);
    while (steady_clock::now() < until) {
        const std::string window = find_window(pattern);
        if (!window.empty()) return window;
        std::this_thread::sleep_for(milliseconds(20));
    }
    return {};
}

bool wait_until_gone(const std::string& pattern) {
    const auto until = steady_clock::now() + seconds(5);
    while (steady_clock::now() < until) {
        if (find_window(pattern).empty()) return true;
        std::this_thread::sleep_for(milliseconds(20));
    }
    return false;
}

class UserInputGui : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        for (const char* tool : {"Xvfb", "xdotool"}) {
            if (!run({"sh", "-c", std::string("command -v ") + tool}).ok) missing += std::string(tool) + " ";
        }
        if (access(kGtkPinentry, X_OK) != 0) missing += kGtkPinentry;
        if (!missing.empty()) return;
        char pattern[] = "/tmp/user-input-gui-XXXXXX";
        if (!mkdtemp(pattern)) return;
        bin = pattern;
        fs::create_symlink(kGtkPinentry, bin + "/pinentry");
        server = new guitest::Xvfb;
        if (server->ok()) {
            setenv("DISPLAY", server->display().c_str(), 1);
            std::fprintf(stderr, "Xvfb on %s\n", server->display().c_str());
        }
        // The tools keep the system PATH; only the service looks for "pinentry" first in bin.
        const char* path = std::getenv("PATH");
        setenv("PATH", (bin + ":" + (path ? path : "/usr/bin:/bin")).c_str(), 1);
    }
    static void TearDownTestSuite() {
        delete server;
        server = nullptr;
        if (!bin.empty()) fs::remove_all(bin);
    }
    void SetUp() override {
        ASSERT_TRUE(missing.empty()) << "missing: " << missing << " (scripts/deps installs them)";
        ASSERT_TRUE(server && server->ok()) << (server ? server->error() : "");
        input = create_user_input();
        ASSERT_TRUE(input);
        input->set_timeout(61);
    }
    void TearDown() override {
        if (input) input->cancel();  // a failed case leaves no dialog open for the next one
        if (pending.valid()) pending.wait();
    }

    void ask_async(const std::string& title) {
        title_ = title;
        pending = std::async(std::launch::async, [this] {
            return input->ask(PromptTexts{title_.c_str(), kPrompt}).text();
        });
    }
    std::string result(seconds limit = seconds(10)) {
        if (pending.wait_for(limit) != std::future_status::ready) {
            input->cancel();
            ADD_FAILURE() << "the dialog did not end in time";
        }
        return pending.get();
    }

    static inline std::string missing;
    static inline std::string bin;
    static inline guitest::Xvfb* server = nullptr;
    std::shared_ptr<user_input> input;
    std::string title_;
    std::future<std::string> pending;
};

TEST_F(UserInputGui, DigitsAndReturnGiveThePin) {
    ask_async("gui-ok");
    const std::string window = wait_for_window("^gui-ok$");
    ASSERT_FALSE(window.empty());
    run({"xdotool", "type", "--delay", "5", "123456"});
    run({"xdotool", "key", "Return"});
    EXPECT_EQ(result(), "123456");
    EXPECT_TRUE(wait_until_gone("^gui-ok$"));
}

TEST_F(UserInputGui, TwentyFiveDigitsGiveTheFirstNineteen) {
    ask_async("gui-long");
    ASSERT_FALSE(wait_for_window("^gui-long$").empty());
    run({"xdotool", "type", "--delay", "5", "1234567890123456789012345"});
    run({"xdotool", "key", "Return"});
    EXPECT_EQ(result(), "1234567890123456789");
}

TEST_F(UserInputGui, EscapeGivesNothing) {
    ask_async("gui-escape");
    ASSERT_FALSE(wait_for_window("^gui-escape$").empty());
    run({"xdotool", "type", "--delay", "5", "99"});
    run({"xdotool", "key", "Escape"});
    EXPECT_EQ(result(), "");
}

TEST_F(UserInputGui, TheTimeOutEndsTheDialog) {
    input->set_timeout(2);
    const auto start = steady_clock::now();
    ask_async("gui-timeout");
    ASSERT_FALSE(wait_for_window("^gui-timeout$").empty());
    EXPECT_EQ(result(seconds(15)), "");
    const double elapsed = duration<double>(steady_clock::now() - start).count();
    EXPECT_GT(elapsed, 1.5);
    EXPECT_TRUE(wait_until_gone("^gui-timeout$"));
}

TEST_F(UserInputGui, CancelFromAnotherThreadClosesTheWindow) {
    input->set_timeout(0);
    ask_async("gui-cancel");
    ASSERT_FALSE(wait_for_window("^gui-cancel$").empty());
    std::thread([this] { input->cancel(); }).join();
    EXPECT_EQ(result(seconds(3)), "");
    EXPECT_TRUE(wait_until_gone("^gui-cancel$"));
}

TEST_F(UserInputGui, InvalidUtf8TitleIsShownByteByByte) {
    ask_async("gui-\xe9-_x");
    const std::string window = wait_for_window("^gui-");
    ASSERT_FALSE(window.empty());
    const ToolRun name = run({"xdotool", "getwindowname", window});
    EXPECT_EQ(name.out, "gui-\xef\xbf\xa9-_x\n");
    run({"xdotool", "type", "--delay", "5", "42"});
    run({"xdotool", "key", "Return"});
    EXPECT_EQ(result(), "42");
}

TEST_F(UserInputGui, WithoutADisplayNothingIsShown) {
    // pinentry-gtk-2 without a display falls back to curses, which has no terminal here.
    const std::string display = std::getenv("DISPLAY");
    unsetenv("DISPLAY");
    testing::internal::CaptureStderr();
    const auto start = steady_clock::now();
    const std::string pin = input->ask(PromptTexts{"gui-none", kPrompt}).text();
    const std::string errors = testing::internal::GetCapturedStderr();
    setenv("DISPLAY", display.c_str(), 1);
    EXPECT_EQ(pin, "");
    EXPECT_LT(duration<double>(steady_clock::now() - start).count(), 5.0);
    EXPECT_NE(errors.find("runs as \"gtk2:curses\", which needs a terminal (no DISPLAY is set)"), std::string::npos)
        << errors;
}

}  // namespace
