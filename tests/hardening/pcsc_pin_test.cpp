// No PIN left behind, and the PIN and file id members at their bounds, against the virtual readers:
// every way a PIN reaches a card (member, token, dialog, pinpad, a reader that skips it; right,
// wrong and malformed) at every debug setting, with standard error and the answer searched for
// the PIN's digits.
#include <cstdlib>
#include <string>

#include "hardening_pcsc.h"

using namespace hardening;

namespace {

const std::string WRONG_PIN = "602851";
const std::string MALFORMED_PIN = "7391a46";
const std::string HASH(64, 'b');

std::string with_debug(std::string json, const std::string& debug) {
    if (!debug.empty()) json.insert(json.size() - 1, R"(,"debug":)" + debug);
    return json;
}

class PinPaths : public PcscTest {
protected:
    // The request through the host; neither its log nor its answer may show any of the secrets.
    HostAnswer secret_safe(const std::string& json, const hosttest::HostOptions& options = {}) {
        HostAnswer a = ask(json, options);
        for (const std::string& secret : secrets_) {
            EXPECT_EQ(a.run.err.find(secret), std::string::npos) << "in the log of " << json << ":\n" << a.run.err;
            EXPECT_EQ(a.text.find(secret), std::string::npos) << "in the answer to " << json << ":\n" << a.text;
        }
        return a;
    }
    hosttest::HostOptions dialog(const std::string& typed) const {
        hosttest::HostOptions o;
        o.env["PATH"] = std::string(FAKE_PINENTRY_DIR) + ":/usr/bin:/bin";
        o.env["DISPLAY"] = ":0";
        o.env["FAKE_PIN"] = typed;
        o.unset_env = {"FAKE_MODE", "FAKE_LOG"};
        return o;
    }
    std::vector<std::string> secrets_{CARD_PIN, WRONG_PIN, MALFORMED_PIN, std::string(254, '7')};
};

}  // namespace

TEST_F(PinPaths, NoPinDigitsInTheLogAtAnyDebugSetting) {
    insert("plain", {"--pin", CARD_PIN});
    insert("escape", {"--pin", CARD_PIN});
    insert("bypass", {"--pin", CARD_PIN});
    const std::string verify = R"({"cmd":"VERIFY_PIN","reader":")" + PLAIN + "\"";
    for (const std::string debug : {"", R"("true")", "true", R"("false")"}) {
        SCOPED_TRACE("debug " + debug);
        const auto member = secret_safe(with_debug(verify + R"(,"pin":")" + CARD_PIN + "\"}", debug));
        ASSERT_EQ(member.json.value("pinValid", false), true) << member.text;
        const std::string token = member.json["pinToken"];
        const auto wrong = secret_safe(with_debug(verify + R"(,"pin":")" + WRONG_PIN + "\"}", debug));
        EXPECT_EQ(wrong.json.value("pinValid", true), false) << wrong.text;
        EXPECT_EQ(
            secret_safe(with_debug(verify + R"(,"pinToken":")" + token + "\"}", debug)).json.value("valid", false),
            true);
        EXPECT_EQ(
            secret_safe(with_debug(verify + "}", debug), dialog(" " + CARD_PIN + "\t")).json.value("valid", false),
            true);
        EXPECT_EQ(secret_safe(with_debug(verify + "}", debug), dialog(MALFORMED_PIN)).code(), 9);
        EXPECT_EQ(secret_safe(with_debug(verify + R"(,"pin":")" + std::string(254, '7') + "\"}", debug)).code(), 9);
        const std::string sign = R"({"cmd":"COMPUTE_SIGNATURE","reader":")" + PLAIN + R"(","hash":")" + HASH + "\"";
        EXPECT_TRUE(secret_safe(with_debug(sign + R"(,"pin":")" + CARD_PIN + "\"}", debug)).json.contains("signature"));
        EXPECT_TRUE(secret_safe(with_debug(sign + "}", debug), dialog(CARD_PIN)).json.contains("signature"));
        const std::string authenticate =
            R"({"cmd":"COMPUTE_AUTHENTICATION","reader":")" + PLAIN + R"(","hash":")" + HASH + "\"";
        EXPECT_TRUE(secret_safe(with_debug(authenticate + R"(,"pinToken":")" + token + "\"}", debug))
                        .json.contains("signature"));
        // Typed on the reader's own keypad, or skipped by the reader: the host never holds it.
        EXPECT_EQ(secret_safe(with_debug(R"({"cmd":"VERIFY_PIN","reader":")" + ESCAPE + "\"}", debug))
                      .json.value("valid", false),
                  true);
        EXPECT_FALSE(
            secret_safe(
                with_debug(R"({"cmd":"VERIFY_PIN","reader":")" + BYPASS + R"(","pin":")" + CARD_PIN + "\"}", debug))
                .error());
    }
}

TEST_F(PinPaths, PinAndFileIdMembersAtTheirBuffers) {
    insert("plain", {"--pin", CARD_PIN});
    const std::string verify = R"({"cmd":"VERIFY_PIN","reader":")" + PLAIN + R"(","pin":")";
    // 254 digits fill the member's buffer, 255 are cut to 254: both are too long for a PIN.
    for (size_t n : {254u, 255u, 4000u}) {
        const auto a = secret_safe(verify + std::string(n, '7') + "\"}");
        EXPECT_EQ(a.code(), 9) << n << ": " << a.text;
        EXPECT_EQ(a.json["error"]["id"], 9);
    }
    // A right PIN followed by what does not fit is the PIN that was read: refused, not cut to the PIN.
    EXPECT_EQ(secret_safe(verify + CARD_PIN + std::string(300, ' ') + "\"}").code(), 9);
    const std::string read = R"({"cmd":"READ_FILE","reader":")" + PLAIN + R"(","fileId":")";
    // 64 hex digits are the largest file id: it passes the check and is looked for on the card.
    const std::string id64 = "3F00DF005039" + std::string(52, '0');
    const auto longest = ask(read + id64 + "\"}");
    EXPECT_NE(longest.code(), 3) << longest.text;
    for (const std::string& bad : {id64 + "00", id64 + "0", std::string("3F00DF00503G")}) {
        const auto a = ask(read + bad + "\"}");
        EXPECT_EQ(a.code(), 3) << bad << ": " << a.text;
        EXPECT_NE(a.message().find("Should be maximum 64 hex characters"), std::string::npos) << a.text;
    }
    EXPECT_FALSE(ask(read + "3f00df005039\"}").error()) << "either letter case";
}
