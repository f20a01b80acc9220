// What a PIN token and the eIDAS 2.0 rule promise, against the virtual readers through the built
// host: a token opens only on the card and for the origin it was made for, a PIN-pad or bypass
// reader gets no token for a "pin" it never used, and no command or key label signs with the
// signature key past the rule.
#include <ctime>
#include <string>

#include "hardening_pcsc.h"

using namespace hardening;

namespace {

const std::string ORIGIN = "chrome-extension://aaaabbbbccccddddeeeeffffgggghhhh/";
const std::string OTHER_ORIGIN = "chrome-extension://hhhhggggffffeeeeddddccccbbbbaaaa/";
const std::string OTHER_PIN = "482613";
const std::string HASH(64, 'b');

class TokenRules : public PcscTest {
protected:
    hosttest::HostOptions from(const std::string& origin) const {
        hosttest::HostOptions o;
        o.args = {origin};
        return o;
    }
    std::string verify(const std::string& reader, const std::string& members) const {
        return R"({"cmd":"VERIFY_PIN","reader":")" + reader + "\"" + members + "}";
    }
    // The tries left on the card in the plain reader, learnt (and spent) with one wrong PIN.
    int tries_left_after_a_wrong_pin() {
        const auto a = ask(verify(PLAIN, R"(,"pin":"000000")"), from(ORIGIN));
        EXPECT_EQ(a.json.value("pinValid", true), false) << a.text;
        return a.json.value("pinRemainingAttempts", -100);
    }
};

}  // namespace

TEST_F(TokenRules, ATokenOpensOnlyOnItsOwnCard) {
    insert("plain", {"--pin", CARD_PIN});
    const auto first = ask(verify(PLAIN, R"(,"pin":")" + CARD_PIN + "\""), from(ORIGIN));
    ASSERT_EQ(first.json.value("valid", false), true) << first.text;
    const std::string token = first.json["pinToken"];
    // The same card takes it back.
    EXPECT_EQ(ask(verify(PLAIN, R"(,"pinToken":")" + token + "\""), from(ORIGIN)).json.value("valid", false), true);

    // Another card with another PIN: three replays cost it no try; the token counts as absent.
    remove("plain");
    insert("plain", {"--pin", OTHER_PIN, "--tries", "3"});
    for (int i = 0; i < 3; ++i) {
        const auto replay = ask(verify(PLAIN, R"(,"pinToken":")" + token + "\""), from(ORIGIN));
        EXPECT_TRUE(replay.error()) << replay.text;
        EXPECT_FALSE(replay.json.contains("pinValid")) << "a VERIFY was sent: " << replay.text;
    }
    // With a "pin" beside it, that PIN is used instead.
    const auto own = ask(verify(PLAIN, R"(,"pinToken":")" + token + R"(","pin":")" + OTHER_PIN + "\""), from(ORIGIN));
    EXPECT_EQ(own.json.value("valid", false), true) << own.text;
    EXPECT_EQ(tries_left_after_a_wrong_pin(), 2);
}

TEST_F(TokenRules, ATokenOpensOnlyForItsOwnOrigin) {
    insert("plain", {"--pin", CARD_PIN});
    const auto first = ask(verify(PLAIN, R"(,"pin":")" + CARD_PIN + "\""), from(ORIGIN));
    const std::string token = first.json.value("pinToken", "");
    ASSERT_FALSE(token.empty()) << first.text;
    for (const auto& options : {from(OTHER_ORIGIN), hosttest::HostOptions{}}) {
        const auto other = ask(verify(PLAIN, R"(,"pinToken":")" + token + "\""), options);
        EXPECT_TRUE(other.error()) << other.text;
    }
    EXPECT_EQ(ask(verify(PLAIN, R"(,"pinToken":")" + token + "\""), from(ORIGIN)).json.value("valid", false), true);
    EXPECT_EQ(tries_left_after_a_wrong_pin(), 2);
}

TEST_F(TokenRules, ACardThatTellsNoIdentityGetsNoToken) {
    // A token information file whose length takes DER's long form still names its card.
    insert("plain", {"--pin", CARD_PIN, "--token-info", "long"});
    const std::string pin = R"(,"pin":")" + CARD_PIN + "\"";
    const std::string token = ask(verify(PLAIN, pin), from(ORIGIN)).json.value("pinToken", "");
    ASSERT_FALSE(token.empty());
    EXPECT_EQ(ask(verify(PLAIN, R"(,"pinToken":")" + token + "\""), from(ORIGIN)).json.value("valid", false), true);

    // Cards without a serial number cannot be told apart: none gets a token, none opens one.
    for (const std::string& cardPin : {CARD_PIN, OTHER_PIN}) {
        remove("plain");
        insert("plain", {"--pin", cardPin, "--token-info", "no-serial"});
        const auto a = ask(verify(PLAIN, R"(,"pin":")" + cardPin + "\""), from(ORIGIN));
        EXPECT_EQ(a.json.value("valid", false), true) << a.text;
        EXPECT_FALSE(a.json.contains("pinToken")) << a.text;
        const auto replay = ask(verify(PLAIN, R"(,"pinToken":")" + token + "\""), from(ORIGIN));
        EXPECT_FALSE(replay.json.contains("pinValid")) << "a VERIFY was sent: " << replay.text;
    }
    EXPECT_EQ(tries_left_after_a_wrong_pin(), 2);
}

TEST_F(TokenRules, NoTokenForAPinTheReaderNeverUsed) {
    insert("escape", {"--pin", CARD_PIN});
    insert("bypass", {"--pin", CARD_PIN});
    insert("plain", {"--pin", CARD_PIN});
    for (const std::string& reader : {ESCAPE, BYPASS}) {
        SCOPED_TRACE(reader);
        const auto a = ask(verify(reader, R"(,"pin":"9999")"), from(ORIGIN));
        EXPECT_EQ(a.json.value("valid", false), true) << a.text;
        EXPECT_FALSE(a.json.contains("pinToken")) << a.text;
    }
    // A token made on the plain reader neither opens nor is renewed on a PIN-pad reader.
    const std::string token = ask(verify(PLAIN, R"(,"pin":")" + CARD_PIN + "\""), from(ORIGIN)).json["pinToken"];
    const auto a = ask(verify(ESCAPE, R"(,"pinToken":")" + token + "\""), from(ORIGIN));
    EXPECT_EQ(a.json.value("valid", false), true) << a.text;
    EXPECT_FALSE(a.json.contains("pinToken")) << a.text;
}

TEST_F(TokenRules, TheEidas2RuleGuardsTheSignatureKeyWhateverTheCommand) {
    insert("plain", {"--pin", CARD_PIN, "--sig-not-before", "20150301000000Z"});
    hosttest::HostOptions forced = from(ORIGIN);
    forced.env["VELDRA_FORCE_EIDAS2_FAIL"] = "1";
    const std::string pin = R"(,"pin":")" + CARD_PIN + "\"";
    for (const std::string cmd : {"COMPUTE_SIGNATURE", "COMPUTE_AUTHENTICATION"}) {
        SCOPED_TRACE(cmd);
        const std::string request = R"({"cmd":")" + cmd + R"(","reader":")" + PLAIN + R"(","hash":")" + HASH +
                                    R"(","key":"__signature__")" + pin + "}";
        const auto a = ask(request, forced);
        EXPECT_EQ(a.code(), 1) << a.text;
        EXPECT_FALSE(a.json.contains("signature"));
        // After the rule's start the 2015 certificate is refused by its own date.
        if (std::time(nullptr) >= 1779415201) {
            EXPECT_EQ(ask(request, from(ORIGIN)).code(), 1);
        }
    }
    // The authentication key stays usable.
    const auto authentication = ask(
        R"({"cmd":"COMPUTE_AUTHENTICATION","reader":")" + PLAIN + R"(","hash":")" + HASH + "\"" + pin + "}", forced);
    EXPECT_TRUE(authentication.json.contains("signature")) << authentication.text;
    // A card of 2016 on: the signature key signs.
    remove("plain");
    insert("plain", {"--pin", CARD_PIN, "--sig-not-before", "20160701000000Z"});
    const auto signature = ask(
        R"({"cmd":"COMPUTE_SIGNATURE","reader":")" + PLAIN + R"(","hash":")" + HASH + "\"" + pin + "}", from(ORIGIN));
    EXPECT_TRUE(signature.json.contains("signature")) << signature.text;
    // The same card with its certificate file cut to 300 bytes: its date is still there, but the
    // certificate is not, so the signature key stays unused.
    if (std::time(nullptr) >= 1779415201) {
        remove("plain");
        insert("plain", {"--pin", CARD_PIN, "--sig-not-before", "20160701000000Z", "--sig-cert-bytes", "300"});
        const auto cut =
            ask(R"({"cmd":"COMPUTE_SIGNATURE","reader":")" + PLAIN + R"(","hash":")" + HASH + "\"" + pin + "}",
                from(ORIGIN));
        EXPECT_EQ(cut.code(), 99) << cut.text;
        EXPECT_NE(cut.text.find("Unable to read certificate notBefore date"), std::string::npos) << cut.text;
        EXPECT_FALSE(cut.json.contains("signature")) << cut.text;
    }
}
