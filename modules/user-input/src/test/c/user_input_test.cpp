// UserInputImpl against the scripted fake pinentry (FAKE_PINENTRY_DIR/pinentry), chosen by PATH.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "log.h"
#include "user_input_impl.h"

namespace {

using namespace std::chrono;
namespace fs = std::filesystem;

const char* kTitle = "PIN Code Entry";
const char* kPrompt = "Please provide PIN code for requested operation:";

class UserInputFake : public ::testing::Test {
protected:
    void SetUp() override {
        signal(SIGPIPE, SIG_DFL);  // a write to a dead pinentry must not kill the host
        char pattern[] = "/tmp/user-input-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        log = dir + "/log";
        setenv("PATH", FAKE_PINENTRY_DIR, 1);
        setenv("FAKE_LOG", log.c_str(), 1);
        unsetenv("FAKE_MODE");
        unsetenv("FAKE_PIN");
        unsetenv("FAKE_FLAVOR");
        input = create_user_input();
        ASSERT_TRUE(input);
        input->set_timeout(61);
    }
    void TearDown() override {
        input.reset();
        fs::remove_all(dir);
    }

    std::string ask(const char* title = kTitle, const char* prompt = kPrompt) {
        return input->ask(PromptTexts{title, prompt}).text();
    }
    std::string ask_in(const char* mode, const char* pin = "1234") {
        setenv("FAKE_MODE", mode, 1);
        setenv("FAKE_PIN", pin, 1);
        return ask();
    }
    // The fake's record: "pid N", the commands as received, "exit 0".
    std::vector<std::string> record() const {
        std::vector<std::string> lines;
        std::ifstream in(log);
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }
    bool received(const std::string& command) const {
        const auto lines = record();
        return std::find(lines.begin(), lines.end(), command) != lines.end();
    }
    std::vector<pid_t> fakes() const {
        std::vector<pid_t> pids;
        for (const auto& line : record()) {
            if (line.rfind("pid ", 0) == 0) pids.push_back(std::stoi(line.substr(4)));
        }
        return pids;
    }
    // Every fake started so far was reaped by the service: not running, no zombie.
    void expect_all_reaped() const {
        const auto pids = fakes();
        EXPECT_FALSE(pids.empty());
        for (pid_t pid : pids) {
            errno = 0;
            EXPECT_EQ(waitpid(pid, nullptr, WNOHANG), -1) << "pinentry " << pid << " left behind";
            EXPECT_EQ(errno, ECHILD);
        }
    }

    std::string dir;
    std::string log;
    std::shared_ptr<user_input> input;
};

double seconds_since(steady_clock::time_point start) { return duration<double>(steady_clock::now() - start).count(); }

TEST_F(UserInputFake, SendsTheDialogTextsAndReturnsThePin) {
    setenv("FAKE_PIN", "4711", 1);
    EXPECT_EQ(ask("Card 1 %\nsecond", "Enter_PIN 100%"), "4711");
    auto lines = record();
    ASSERT_FALSE(lines.empty());
    lines.erase(lines.begin());  // pid
    const std::vector<std::string> expected = {
        "GETINFO flavor",
        "SETTITLE Card 1 %25%0Asecond",
        "SETDESC Enter_PIN 100%25",
        "SETPROMPT PIN code",
        "SETOK OK",
        "SETCANCEL Cancel",
        "SETTIMEOUT 61",
        "GETPIN",
        "BYE",
        "exit 0",
    };
    EXPECT_EQ(lines, expected);
    expect_all_reaped();
}

TEST_F(UserInputFake, DecodesSplitChattyAndInquiringAnswers) {
    EXPECT_EQ(ask_in("split", "1%2 +a"), "1%2 +a");
    EXPECT_EQ(ask_in("chatty", "98%76"), "98%76");
    EXPECT_EQ(ask_in("inquire", "5555"), "5555");
    EXPECT_TRUE(received("END"));
    EXPECT_EQ(fakes().size(), 3u);
    expect_all_reaped();
}

TEST_F(UserInputFake, CutsThePinTo19Characters) {
    EXPECT_EQ(ask_in("ok", "1234567890123456789012345"), "1234567890123456789");
    std::string nineteen, twenty;
    for (int i = 0; i < 19; ++i) nineteen += "\xc3\xa4";
    twenty = nineteen + "\xc3\xa4";
    EXPECT_EQ(ask_in("ok", nineteen.c_str()), nineteen);
    EXPECT_EQ(ask_in("ok", twenty.c_str()), nineteen);
    EXPECT_EQ(ask_in("ok", "1234567890123456789"), "1234567890123456789");
}

TEST_F(UserInputFake, EveryOutcomeWithoutAPinIsEmpty) {
    // "deaf" stops reading at once: with SIGPIPE at its default, a plain write would end this process.
    for (const char* mode : {"cancel", "empty", "die", "greet-and-exit", "deaf"}) {
        EXPECT_EQ(ask_in(mode), "") << mode;
    }
    EXPECT_EQ(fakes().size(), 5u);
    expect_all_reaped();
}

TEST_F(UserInputFake, TimeOutEndsTheDialog) {
    input->set_timeout(1);
    auto start = steady_clock::now();
    EXPECT_EQ(ask_in("timeout"), "");  // pinentry's own timer
    EXPECT_TRUE(received("SETTIMEOUT 1"));
    EXPECT_LT(seconds_since(start), 5.0);

    // A pinentry whose timer stopped (a key was pressed) is ended by our own deadline.
    start = steady_clock::now();
    EXPECT_EQ(ask_in("hang"), "");
    EXPECT_GT(seconds_since(start), 0.9);
    EXPECT_LT(seconds_since(start), 6.0);

    // So is one that never greets.
    start = steady_clock::now();
    EXPECT_EQ(ask_in("nogreet"), "");
    EXPECT_LT(seconds_since(start), 6.0);
    expect_all_reaped();
}

TEST_F(UserInputFake, CancelFromAnotherThreadEndsAnOpenDialog) {
    input->set_timeout(0);  // no time-out: only the cancel can end it
    setenv("FAKE_MODE", "hang", 1);
    auto pending = std::async(std::launch::async, [&] { return ask(); });
    EXPECT_EQ(pending.wait_for(milliseconds(400)), std::future_status::timeout);
    const auto cancelled = steady_clock::now();
    input->cancel();
    ASSERT_EQ(pending.wait_for(seconds(5)), std::future_status::ready);
    EXPECT_EQ(pending.get(), "");
    EXPECT_LT(seconds_since(cancelled), 2.0);
    EXPECT_TRUE(received("GETPIN"));
    EXPECT_FALSE(received("SETTIMEOUT 0"));
    expect_all_reaped();

    // Once cancelled, a later ask shows nothing at all.
    fs::remove(log);
    EXPECT_EQ(ask_in("ok"), "");
    EXPECT_FALSE(fs::exists(log));
}

TEST_F(UserInputFake, CancelKillsAPinentryThatIgnoresSigterm) {
    setenv("FAKE_MODE", "stubborn", 1);
    auto pending = std::async(std::launch::async, [&] { return ask(); });
    std::this_thread::sleep_for(milliseconds(300));
    const auto cancelled = steady_clock::now();
    input->cancel();
    ASSERT_EQ(pending.wait_for(seconds(10)), std::future_status::ready);
    EXPECT_EQ(pending.get(), "");
    EXPECT_LT(seconds_since(cancelled), 4.0);
    expect_all_reaped();
}

// A dead process or a zombie: no dialog left on the screen.
bool ended(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line)) return true;
    const std::size_t close = line.rfind(')');
    return close != std::string::npos && close + 2 < line.size() && line[close + 2] == 'Z';
}

TEST_F(UserInputFake, ThePinentryDoesNotOutliveTheHost) {
    // The browser kills the host (its page went away) while the dialog is open.
    for (const char* mode : {"hang", "stubborn"}) {  // stubborn: ignores SIGTERM
        fs::remove(log);
        setenv("FAKE_MODE", mode, 1);
        const pid_t host = fork();
        ASSERT_GE(host, 0);
        if (host == 0) {
            auto service = create_user_input();
            service->set_timeout(0);
            service->ask(PromptTexts{kTitle, kPrompt});
            _exit(0);
        }
        const auto until = steady_clock::now() + seconds(10);
        while (fakes().empty() || !received("GETPIN")) {
            ASSERT_LT(steady_clock::now(), until) << "the dialog did not start";
            std::this_thread::sleep_for(milliseconds(10));
        }
        const pid_t dialog = fakes().front();
        kill(host, SIGKILL);
        waitpid(host, nullptr, 0);
        const auto killed = steady_clock::now();
        while (!ended(dialog) && steady_clock::now() - killed < seconds(5))
            std::this_thread::sleep_for(milliseconds(10));
        EXPECT_TRUE(ended(dialog)) << mode << ": pinentry " << dialog << " outlived its host";
        if (!ended(dialog)) kill(dialog, SIGKILL);
    }
}

TEST_F(UserInputFake, DestructionCancelsLikeCancel) {
    auto other = create_user_input();
    ASSERT_TRUE(other);
    other.reset();  // destructor: cancel, then release; nothing left running
    EXPECT_FALSE(fs::exists(log));
}

TEST_F(UserInputFake, DialogsTakeTurns) {
    setenv("FAKE_MODE", "slow", 1);
    auto first = std::async(std::launch::async, [&] { return ask(); });
    auto second = std::async(std::launch::async, [&] { return ask(); });
    EXPECT_EQ(first.get(), "1234");
    EXPECT_EQ(second.get(), "1234");
    // Each fake's record runs from its "pid" to its "exit" before the next one starts.
    std::vector<std::string> marks;
    for (const auto& line : record()) {
        if (line.rfind("pid ", 0) == 0 || line.rfind("exit", 0) == 0) marks.push_back(line.substr(0, 3));
    }
    EXPECT_EQ(marks, (std::vector<std::string>{"pid", "exi", "pid", "exi"}));
}

TEST_F(UserInputFake, TerminalFlavoursAreRefusedBeforeAnythingIsShown) {
    for (const char* flavor : {"curses", "tty", "gtk2:curses", "gnome3:curses"}) {
        fs::remove(log);
        setenv("FAKE_FLAVOR", flavor, 1);
        testing::internal::CaptureStderr();
        EXPECT_EQ(ask_in("ok"), "") << flavor;
        const std::string errors = testing::internal::GetCapturedStderr();
        EXPECT_NE(errors.find(std::string("runs as \"") + flavor + "\", which needs a terminal"), std::string::npos)
            << errors;
        EXPECT_FALSE(received("GETPIN")) << flavor;
        expect_all_reaped();
    }
    fs::remove(log);
    setenv("FAKE_FLAVOR", "gnome3", 1);
    EXPECT_EQ(ask_in("ok", "2468"), "2468");
}

TEST_F(UserInputFake, WithoutAPinentryOnThePathNothingRuns) {
    setenv("PATH", dir.c_str(), 1);
    testing::internal::CaptureStderr();
    EXPECT_EQ(ask(), "");
    const std::string errors = testing::internal::GetCapturedStderr();
    EXPECT_NE(errors.find("no pinentry program on the PATH"), std::string::npos) << errors;
}

TEST_F(UserInputFake, ThePathDecidesWhichPinentryRuns) {
    const std::string fake = std::string(FAKE_PINENTRY_DIR) + "/pinentry";
    const std::string plain = dir + "/plain";  // a pinentry that is not executable is passed over
    fs::create_directory(plain);
    std::ofstream(plain + "/pinentry") << "not a program";
    setenv("PATH", ("::" + dir + "/missing:" + plain + ":" + FAKE_PINENTRY_DIR).c_str(), 1);
    EXPECT_EQ(user_input_find_pinentry(), fake);

    // An empty entry would mean the working directory: never used.
    const fs::path here = fs::current_path();
    fs::current_path(FAKE_PINENTRY_DIR);
    setenv("PATH", ":", 1);
    EXPECT_EQ(user_input_find_pinentry(), "");
    // Nor a relative one, which names a folder below the working directory.
    setenv("PATH", ".", 1);
    EXPECT_EQ(user_input_find_pinentry(), "");
    fs::current_path(fs::path(FAKE_PINENTRY_DIR).parent_path());
    setenv("PATH", fs::path(FAKE_PINENTRY_DIR).filename().c_str(), 1);
    EXPECT_EQ(user_input_find_pinentry(), "");
    fs::current_path(here);
}

TEST_F(UserInputFake, OddTextsArriveSafely) {
    const std::string longTitle(2000, '%');
    std::string longPrompt;
    for (int i = 0; i < 1500; ++i) longPrompt += "\xc3\xa9";
    EXPECT_EQ(ask(longTitle.c_str(), longPrompt.c_str()), "1234");  // pinentry would exit on a line > 1000 bytes
    EXPECT_EQ(ask("Caf\xe9", nullptr), "1234");
    const auto lines = record();
    std::vector<std::string> titles, descriptions;
    for (const auto& line : lines) {
        if (line.rfind("SETTITLE", 0) == 0) titles.push_back(line);
        if (line.rfind("SETDESC", 0) == 0) descriptions.push_back(line);
    }
    ASSERT_EQ(titles.size(), 2u);
    EXPECT_LE(titles[0].size(), 1000u);
    EXPECT_EQ(titles[0].substr(titles[0].size() - 3), "%25");
    EXPECT_LE(descriptions[0].size(), 1000u);
    EXPECT_EQ(titles[1], "SETTITLE Caf\xef\xbf\xa9");
    EXPECT_EQ(descriptions[1], "SETDESC");
}

TEST_F(UserInputFake, ThePinNeverReachesTheLog) {
    debug_enabled = true;
    testing::internal::CaptureStderr();
    EXPECT_EQ(ask_in("ok", "918273"), "918273");
    EXPECT_EQ(ask_in("split", "918273"), "918273");
    const std::string errors = testing::internal::GetCapturedStderr();
    debug_enabled = false;
    EXPECT_EQ(errors.find("918273"), std::string::npos) << errors;
    EXPECT_NE(errors.find("PIN of 6 bytes"), std::string::npos) << errors;
}

}  // namespace
