// The Windows host's PIN dialog from a real request (scripts/windows-test: the host under Wine with
// its display, VELDRA_WINDOWS_PIN_TYPER naming the test program that plays the user on the secure
// desktop). Not run against the Linux host, whose dialog is pinentry (dialog_test.cpp).
#include <cstdlib>
#include <future>

#include "card_test_support.h"

using namespace cardtest;

namespace {

class SecureDesktop : public CardTest {
protected:
    void SetUp() override {
        const char* host = std::getenv("VELDRA_WINDOWS_HOST");
        const char* typer = std::getenv("VELDRA_WINDOWS_PIN_TYPER");
        if (!host || !*host || !typer || !*typer) GTEST_SKIP() << "the Windows host and the dialog typer are not set";
        typer_ = typer;
    }
    // The typer under Wine, started now: types pin into the dialog and presses OK ("--cancel": Cancel);
    // its output is the dialog's title and description.
    std::future<hosttest::HostRun> answer_dialog(const std::string& pin) {
        hosttest::HostOptions options;
        options.program = "/usr/bin/wine";
        options.args = {typer_, pin};
        options.env["WINEDEBUG"] = "-all";
        options.limit = std::chrono::milliseconds(60000);
        return std::async(std::launch::async, [options] { return hosttest::run_host("", options); });
    }
    std::string typer_;
};

const nlohmann::json VERIFY = {{"cmd", "VERIFY_PIN"}, {"reader", PLAIN}};

}  // namespace

TEST_F(SecureDesktop, TheDialogOfARequestIsTypedIntoAndTheCardVerifiesThatPin) {
    insert("plain");
    auto typed = answer_dialog("1234");
    const Answer a = request(VERIFY);
    EXPECT_EQ(typed.get().exit_code, 0) << "no PIN dialog on the secure desktop";
    ASSERT_TRUE(a.json.contains("pinToken")) << a.text;
    EXPECT_EQ(a.text, R"({"pinToken":")" + a.json["pinToken"].get<std::string>() +
                          R"(","pinRemainingAttempts":-1,"pinValid":true,"valid":true})");

    typed = answer_dialog("4321");
    EXPECT_EQ(request(VERIFY).text, R"({"pinRemainingAttempts":2,"pinValid":false,"valid":false})");
    EXPECT_EQ(typed.get().exit_code, 0);

    typed = answer_dialog("--cancel");
    EXPECT_EQ(request(VERIFY).text, error_answer(9, 12, "Timeout entering PIN or cancelled by user."));
    EXPECT_EQ(typed.get().exit_code, 0);
}

TEST_F(SecureDesktop, TheDialogNamesTheRequestingSiteAndWhatThePinIsFor) {
    insert("plain");
    nlohmann::json sign = {{"cmd", "COMPUTE_SIGNATURE"},
                           {"reader", PLAIN},
                           {"hash", std::string(64, 'b')},
                           {"callerOrigin", "https://xn--bcher-kva.example"},
                           {"entry_title", "https://bank.example"},
                           {"entry_message", std::string(40, '\n') + "Sign here"}};
    auto typed = answer_dialog("1234");
    const Answer a = request(sign);
    const hosttest::HostRun shown = typed.get();
    ASSERT_EQ(shown.exit_code, 0) << "no PIN dialog on the secure desktop";
    EXPECT_TRUE(a.json.contains("signature")) << a.text;
    EXPECT_EQ(shown.out.rfind("Sign for https://xn--bcher-kva.example\n"
                              "https://xn--bcher-kva.example asks for your PIN to sign with your card.",
                              0),
              0u)
        << shown.out;
    EXPECT_NE(shown.out.find("\xE2\x80\x9Chttps://bank.example\nSign here\xE2\x80\x9D"), std::string::npos)
        << "the page's words, after ours: " << shown.out;
}
