// The requesting site ("callerOrigin", added by our extension) against the virtual readers through the
// built host, with a recording pinentry as the dialog: the dialog's own lines name the site and what
// the PIN is for, a page's words come after them, bounded and marked; a PIN token opens only for the
// site it was issued to; a request without a site shows the texts it always showed.
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "hardening_pcsc.h"

using namespace hardening;

namespace {

const std::string EXTENSION = "chrome-extension://aaaabbbbccccddddeeeeffffgggghhhh/";
const std::string SITE = "https://xn--bcher-kva.example";
const std::string OTHER_SITE = "http://127.0.0.1:8081";
const std::string HASH(64, 'b');

// The commands the dialog received, by name, with their arguments' escapes decoded.
using Shown = std::map<std::string, std::string>;

class SiteRules : public PcscTest {
protected:
    // The recording pinentry first on the PATH: answers the card's PIN (or cancels), logs to a new file.
    hosttest::HostOptions dialog(const std::string& mode = "ok") {
        hosttest::HostOptions o = from_extension();
        o.env["PATH"] = std::string(FAKE_PINENTRY_DIR) + ":/usr/bin:/bin";
        o.env["DISPLAY"] = ":0";
        o.env["FAKE_PIN"] = CARD_PIN;
        o.env["FAKE_MODE"] = mode;
        log_ = home.path() + "/dialog-" + std::to_string(++runs_) + ".log";
        o.env["FAKE_LOG"] = log_;
        return o;
    }
    static hosttest::HostOptions from_extension() {
        hosttest::HostOptions o;
        o.args = {EXTENSION};
        return o;
    }
    static hosttest::HostOptions no_dialog() {
        hosttest::HostOptions o = from_extension();
        o.env["PATH"] = "/nonexistent";
        return o;
    }
    // What the last dialog was told; empty when none was started.
    Shown shown() const {
        Shown commands;
        std::ifstream in(log_);
        for (std::string line; std::getline(in, line);) {
            const size_t blank = line.find(' ');
            const std::string name = line.substr(0, blank);
            std::string text;
            const std::string argument = blank == std::string::npos ? "" : line.substr(blank + 1);
            for (size_t at = 0; at < argument.size(); ++at) {
                if (argument[at] == '%' && at + 2 < argument.size()) {
                    text += static_cast<char>(std::stoi(argument.substr(at + 1, 2), nullptr, 16));
                    at += 2;
                } else {
                    text += argument[at];
                }
            }
            commands[name] = text;
        }
        return commands;
    }
    static std::string request(const std::string& cmd, const std::string& members) {
        return R"({"cmd":")" + cmd + R"(","reader":")" + PLAIN + R"(","hash":")" + HASH + "\"" + members + "}";
    }
    static std::string site(const std::string& origin) { return R"(,"callerOrigin":")" + origin + "\""; }

private:
    std::string log_;
    int runs_ = 0;
};

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

size_t characters(const std::string& text) {
    size_t n = 0;
    for (unsigned char c : text) n += (c & 0xC0) != 0x80;
    return n;
}

}  // namespace

TEST_F(SiteRules, TheDialogNamesTheSiteAndWhatThePinIsForBeforeThePagesWords) {
    insert("plain", {"--pin", CARD_PIN});
    // A page that titles its dialog with another site and pushes its own lines down.
    std::string pushed;
    for (int i = 0; i < 40; ++i) pushed += "\\n";
    const std::string pageWords = R"(,"entry_title":"https://bank.example","entry_message":")" + pushed +
                                  R"(Log in to\u0007 https://bank.example\u202e\r\nline three\nline four")";
    const struct {
        const char* cmd;
        const char* title;
        const char* use;
    } cases[] = {{"VERIFY_PIN", "PIN check for ", "check it"},
                 {"COMPUTE_SIGNATURE", "Sign for ", "sign with"},
                 {"COMPUTE_AUTHENTICATION", "Log in to ", "log you in"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.cmd);
        const auto a = ask(request(c.cmd, site(SITE) + pageWords), dialog());
        EXPECT_EQ(a.json.value("valid", false), true) << a.text;
        const Shown d = shown();
        EXPECT_EQ(d.at("SETTITLE"), c.title + SITE);
        const std::vector<std::string> lines = lines_of(d.at("SETDESC"));
        ASSERT_GE(lines.size(), 6u) << d.at("SETDESC");
        EXPECT_EQ(lines[0].rfind(SITE + " asks for your PIN to ", 0), 0u) << lines[0];
        EXPECT_NE(lines[0].find(c.use), std::string::npos) << lines[0];
        // The page's words after ours, marked, three lines at most, without their controls.
        EXPECT_EQ(lines[1], "");
        EXPECT_EQ(lines[2], "The site adds, in its own words:");
        EXPECT_EQ(std::vector<std::string>(lines.begin() + 3, lines.end()),
                  (std::vector<std::string>{"\xE2\x80\x9Chttps://bank.example", "Log in to https://bank.example",
                                            "line three\xE2\x80\xA6\xE2\x80\x9D"}));
    }

    // At most 200 characters of them, whatever their lines.
    const auto a =
        ask(request("VERIFY_PIN", site(SITE) + R"(,"entry_message":")" + std::string(250, 'w') + "\""), dialog());
    EXPECT_EQ(a.json.value("valid", false), true) << a.text;
    const std::vector<std::string> lines = lines_of(shown().at("SETDESC"));
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(characters(lines[3]), 200u + 2) << "with the two quotation marks";

    // Without a site, the texts it always had: the specified defaults, or the page's own.
    ask(request("VERIFY_PIN", ""), dialog());
    Shown d = shown();
    EXPECT_EQ(d.at("SETTITLE"), "PIN Code Entry");
    EXPECT_EQ(d.at("SETDESC"), "Please provide PIN code for requested operation:");
    EXPECT_EQ(d.at("SETPROMPT"), "PIN code");
    ask(request("VERIFY_PIN", R"(,"entry_title":"Bank","entry_message":"Sign\n here")"), dialog());
    d = shown();
    EXPECT_EQ(d.at("SETTITLE"), "Bank");
    EXPECT_EQ(d.at("SETDESC"), R"(Sign\n here)") << "as the request wrote it";
}

TEST_F(SiteRules, ASiteThatIsNotAnOriginIsRefusedBeforeAnyDialog) {
    insert("plain", {"--pin", CARD_PIN});
    for (const std::string& bad : std::vector<std::string>{
             "https://bank.example/login", "HTTPS://BANK.EXAMPLE", "null", "https://", "https://bank.example:99999",
             "https://b\\u0000ank.example", "https://" + std::string(300, 'a')}) {
        SCOPED_TRACE(bad);
        const auto a = ask(request("VERIFY_PIN", site(bad)), dialog());
        EXPECT_EQ(a.code(), 99) << a.text;
        EXPECT_NE(a.message().find("[callerOrigin] value not valid"), std::string::npos) << a.text;
        EXPECT_TRUE(shown().empty()) << "a dialog was started";
    }
    // A number, and the member given twice.
    EXPECT_EQ(ask(R"({"cmd":"GET_INFO","callerOrigin":5})").code(), 99);
    EXPECT_EQ(ask(R"({"cmd":"GET_INFO","callerOrigin":"https://a.example","callerOrigin":"https://b.example"})").code(),
              99);
    // Inside another member it is not the caller's: ignored, as any unknown member is.
    EXPECT_FALSE(ask(R"({"cmd":"GET_INFO","x":{"callerOrigin":"bad"}})").error());
    for (const std::string& good : std::vector<std::string>{"https://[::1]:8443", "file://", "http://127.0.0.1:8081"})
        EXPECT_FALSE(ask(R"({"cmd":"GET_INFO")" + site(good) + "}").error()) << good;
}

TEST_F(SiteRules, ATokenOpensOnlyForTheSiteItWasIssuedTo) {
    insert("plain", {"--pin", CARD_PIN, "--tries", "3"});
    const auto issue = [&](const std::string& members) {
        const auto a = ask(request("VERIFY_PIN", members + R"(,"pin":")" + CARD_PIN + "\""), from_extension());
        EXPECT_EQ(a.json.value("valid", false), true) << a.text;
        return a.json.value("pinToken", std::string());
    };
    const std::string siteToken = issue(site(SITE));
    const std::string plainToken = issue("");
    ASSERT_FALSE(siteToken.empty());
    ASSERT_FALSE(plainToken.empty());
    const auto with = [](const std::string& token) { return R"(,"pinToken":")" + token + "\""; };

    // Each opens for its own kind of request, without a dialog.
    EXPECT_EQ(ask(request("VERIFY_PIN", site(SITE) + with(siteToken)), no_dialog()).json.value("valid", false), true);
    EXPECT_EQ(ask(request("COMPUTE_SIGNATURE", with(plainToken)), no_dialog()).json.contains("signature"), true);

    // Anywhere else it counts as absent: the dialog is asked (and cancelled here), no VERIFY is sent.
    const struct {
        std::string members;
    } refused[] = {{site(OTHER_SITE) + with(siteToken)}, {with(siteToken)}, {site(SITE) + with(plainToken)}};
    for (const auto& r : refused) {
        SCOPED_TRACE(r.members);
        const auto a = ask(request("COMPUTE_SIGNATURE", r.members), dialog("cancel"));
        EXPECT_EQ(a.code(), 9) << a.text;
        EXPECT_FALSE(a.json.contains("signature"));
        EXPECT_EQ(shown().count("GETPIN"), 1u) << "no dialog was asked";
    }
    // Not one try was spent on a refused token.
    const auto wrong = ask(request("VERIFY_PIN", site(SITE) + R"(,"pin":"000000")"), from_extension());
    EXPECT_EQ(wrong.json.value("pinRemainingAttempts", -1), 2) << wrong.text;
}
