// The PIN dialog through the real host: a plain reader and no "pin" member, so the host asks the
// user with pinentry-gtk-2 on a private Xvfb; xdotool types as the user would.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>
#include <vector>
#include <thread>

#include "card_test_support.h"
#include "xvfb.h"

using namespace cardtest;
using namespace std::chrono;
namespace fs = std::filesystem;

namespace {

const char* GTK_PINENTRY = "/usr/bin/pinentry-gtk-2";
const char* TITLE = "Veldra card test";

// Runs a command line to its end; its standard output, and whether it exited with 0.
bool shell(const std::string& command, std::string* out = nullptr) {
    FILE* pipe = popen((command + " 2>/dev/null").c_str(), "r");
    if (!pipe) return false;
    char buffer[256];
    size_t n;
    std::string text;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) text.append(buffer, n);
    if (out) *out = text;
    return pclose(pipe) == 0;
}

class Dialog : public CardTest {
protected:
    static void SetUpTestSuite() {
        if (!shell("command -v Xvfb") || !shell("command -v xdotool") || access(GTK_PINENTRY, X_OK) != 0) return;
        char pattern[] = "/tmp/card-dialog-XXXXXX";
        if (!mkdtemp(pattern)) return;
        bin = pattern;
        fs::create_symlink(GTK_PINENTRY, bin + "/pinentry");
        server = new guitest::Xvfb;
        if (!server->ok()) {
            std::fprintf(stderr, "%s\n", server->error().c_str());
            delete server;
            server = nullptr;
        }
    }
    static void TearDownTestSuite() {
        delete server;
        server = nullptr;
        if (!bin.empty()) fs::remove_all(bin);
        bin.clear();
    }
    void SetUp() override {
        ASSERT_NE(server, nullptr) << "needs Xvfb, xdotool and pinentry-gtk2 (scripts/deps installs them)";
        insert("plain");
    }

    // Sends request in the background with the dialog available.
    std::future<Answer> start(const nlohmann::json& message) {
        hosttest::HostOptions options;
        options.env["DISPLAY"] = server->display();
        const char* path = std::getenv("PATH");
        options.env["PATH"] = bin + ":" + (path ? path : "/usr/bin:/bin");
        options.limit = milliseconds(60000);
        return std::async(std::launch::async, [this, message, options] { return request(message, options); });
    }

    std::string xdotool(const std::string& args) {
        std::string out;
        shell("DISPLAY=" + server->display() + " xdotool " + args, &out);
        return out;
    }

    // Waits for the dialog, then types text and presses key.
    bool answer_dialog(const std::string& text, const char* key = "Return") {
        const auto until = steady_clock::now() + seconds(20);
        std::string window;
        while (window.empty() && steady_clock::now() < until) {
            window = xdotool(std::string("search --onlyvisible --name '^") + TITLE + "$'");
            if (window.empty()) std::this_thread::sleep_for(milliseconds(50));
        }
        if (window.empty()) return false;
        if (!text.empty()) xdotool("type --delay 5 '" + text + "'");
        xdotool(std::string("key ") + key);
        return true;
    }

    static inline std::string bin;
    static inline guitest::Xvfb* server = nullptr;
};

const nlohmann::json VERIFY = {{"cmd", "VERIFY_PIN"}, {"reader", PLAIN}, {"entry_title", TITLE}};

}  // namespace

TEST_F(Dialog, ThePinTypedInTheDialogIsVerifiedAndSealedInAToken) {
    auto pending = start(VERIFY);
    ASSERT_TRUE(answer_dialog(" 1234 "));  // blanks around the digits are trimmed
    const Answer a = pending.get();
    ASSERT_TRUE(a.json.contains("pinToken")) << a.text;
    EXPECT_EQ(a.json["valid"], true);
    EXPECT_EQ(a.run.err.find("1234"), std::string::npos) << "the PIN reached the log";

    // The token spares the next request the dialog.
    hosttest::HostOptions noDialog;
    noDialog.env["PATH"] = "/nonexistent";
    nlohmann::json next = VERIFY;
    next["pinToken"] = a.json["pinToken"];
    EXPECT_EQ(request(next, noDialog).json["valid"], true);
}

TEST_F(Dialog, ACancelledDialogAndAWrongPin) {
    auto pending = start(VERIFY);
    ASSERT_TRUE(answer_dialog("12", "Escape"));
    EXPECT_EQ(pending.get().text, error_answer(9, 12, "Timeout entering PIN or cancelled by user."));

    pending = start(VERIFY);
    ASSERT_TRUE(answer_dialog("4321"));
    EXPECT_EQ(pending.get().text, R"({"pinRemainingAttempts":2,"pinValid":false,"valid":false})");

    pending = start(VERIFY);
    ASSERT_TRUE(answer_dialog("12x4"));
    EXPECT_EQ(pending.get().json["error"]["code"], 9);
}

TEST_F(Dialog, TheRequestsTimeLimitDoesNotRunWhileTheDialogIsOpen) {
    auto pending = start(VERIFY);
    std::this_thread::sleep_for(seconds(12));  // longer than the request's 10 seconds
    ASSERT_TRUE(answer_dialog("1234"));
    const Answer a = pending.get();
    EXPECT_EQ(a.json["valid"], true) << a.text;
}

// The dialog's own lines for a request that names its site, in the user's language, chosen by
// LANGUAGE as in a session whose LANG has a locale of its own. The stand-in pinentry records what the
// host asks it to show.
TEST_F(Dialog, TheDialogsOwnLinesAreInTheUsersLanguage) {
    const std::string site = "https://shop.example";
    const struct {
        const char* language;
        std::vector<std::string> lines;
    } cases[] = {
        {"",
         {"SETTITLE PIN check for " + site, "SETDESC " + site + " asks for your PIN to check it on your card.",
          "SETPROMPT PIN code", "SETOK OK", "SETCANCEL Cancel"}},
        {"nl_BE:nl",
         {"SETTITLE Pincodecontrole voor " + site,
          "SETDESC " + site + " vraagt uw pincode om die op uw kaart te controleren.", "SETPROMPT Pincode", "SETOK OK",
          "SETCANCEL Annuleren"}},
        {"fr_BE:fr",
         {"SETTITLE Vérification du code PIN pour " + site,
          "SETDESC " + site + " demande votre code PIN pour le vérifier sur votre carte.", "SETPROMPT Code PIN",
          "SETOK OK", "SETCANCEL Annuler"}},
        {"de_BE:de",
         {"SETTITLE PIN-Prüfung für " + site,
          "SETDESC " + site + " bittet um Ihre PIN, um sie auf Ihrer Karte zu prüfen.", "SETPROMPT PIN-Code",
          "SETOK OK", "SETCANCEL Abbrechen"}},
    };
    const std::string log = bin + "/pinentry.log";
    for (const auto& c : cases) {
        fs::remove(log);
        hosttest::HostOptions options;
        options.args = {"chrome-extension://aaaabbbbccccddddeeeeffffgggghhhh/"};
        options.env["PATH"] = std::string(FAKE_PINENTRY_DIR) + ":/usr/bin:/bin";
        options.env["FAKE_LOG"] = log;
        options.env["FAKE_PIN"] = "1234";
        options.env["LANG"] = "C.UTF-8";
        options.env["LANGUAGE"] = c.language;
        options.unset_env = {"LC_ALL", "LC_MESSAGES"};
        const Answer a = request({{"cmd", "VERIFY_PIN"}, {"reader", PLAIN}, {"callerOrigin", site}}, options);
        EXPECT_EQ(a.json["valid"], true) << c.language << ": " << a.text;
        std::ifstream in(log);
        std::vector<std::string> asked;
        for (std::string line; std::getline(in, line);)
            if (line.rfind("SET", 0) == 0 && line.rfind("SETTIMEOUT", 0) != 0) asked.push_back(line);
        EXPECT_EQ(asked, c.lines) << "LANGUAGE=" << c.language;
    }
}
