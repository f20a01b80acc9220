#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "clock.h"
#include "log.h"
#include "pkcs_fakes.h"
#include "plugin-api-pkcs-pin.h"
#include "plugin-api-pkcs-support.h"

using namespace pkcstest;

namespace {

int64_t fakeNow = 0;
int64_t fake_clock() { return fakeNow; }

class PinSources : public testing::Test {
protected:
    void SetUp() override {
        fakeNow = 1'800'000'000'000;
        Utils::set_calendar_clock(fake_clock);
        card = std::make_shared<FakeCard>();
        plain = library.add("Plain Reader 00 00", card);
        pad = library.add("VASCO DIGIPASS 870 00 00", card, {0x3B}, 1, true);
    }
    void TearDown() override { Utils::set_calendar_clock(nullptr); }

    PinAndToken acquire(const std::string& request, FakeReader& reader, api_ctx* ctx) {
        json_message* message = json_parse(request.c_str());
        struct Free {
            json_message* m;
            ~Free() { json_free(m); }
        } guard{message};
        return acquire_pin(library, reader, message, ctx, PinUse::Check);
    }

    // The code and message of the CommandException that acquire throws.
    std::pair<int, std::string> failure(const std::string& request, FakeReader& reader, api_ctx* ctx) {
        try {
            acquire(request, reader, ctx);
        } catch (const CommandException& e) {
            return {e.code() * 1000 + e.id(), e.message()};
        }
        return {0, "no failure"};
    }

    std::string binding() const { return pin_token_binding(card->serial, ""); }
    std::string token_for(const std::string& pin, Context& c) {
        PinTokenCipher cipher(c.key);
        return cipher.Seal(Utils::Secret::copy_of(pin), fakeNow + PIN_TOKEN_LIFETIME_MS, binding());
    }

    FakeLibrary library{"__zidazaru__"};
    std::shared_ptr<FakeCard> card;
    std::shared_ptr<FakeReader> plain, pad;
};

const std::string MALFORMED = "Malformed PIN. It should only contain numbers, at least one digit and at most 12 digits";

}  // namespace

TEST_F(PinSources, ATokenComesFirstAndYieldsAFreshOne) {
    Context c;
    const std::string token = token_for("9876", c);
    fakeNow += 249'000;
    PinAndToken got = acquire(R"({"pinToken":")" + token + R"(","pin":"1111"})", *plain, &c.ctx);
    EXPECT_EQ(got.pin, "9876");
    ASSERT_FALSE(got.token.empty());
    EXPECT_NE(got.token, token);
    // The new token lives another 250 seconds from now.
    fakeNow += PIN_TOKEN_LIFETIME_MS - 1000;
    EXPECT_EQ(PinTokenCipher(c.key).Open(Utils::Secret::copy_of(got.token), binding()), "9876");
    EXPECT_TRUE(c.input.titles.empty());
}

TEST_F(PinSources, ExpiredTamperedOrForeignTokensFallThroughToThePin) {
    Context c;
    const std::string token = token_for("9876", c);
    std::string tampered = token;
    tampered[10] = tampered[10] == 'A' ? 'B' : 'A';
    Context other;
    other.key[0] = 99;
    const std::string foreign = token_for("9876", other);
    fakeNow += PIN_TOKEN_LIFETIME_MS;  // token now expired
    const std::string fresh = token_for("5555", c);
    for (const std::string& bad : {token, tampered, foreign, std::string("not base64!")}) {
        PinAndToken got = acquire(R"({"pinToken":")" + bad + R"(","pin":"4321"})", *plain, &c.ctx);
        EXPECT_EQ(got.pin, "4321") << bad;
        EXPECT_EQ(PinTokenCipher(c.key).Open(Utils::Secret::copy_of(got.token), binding()), "4321");
    }
    EXPECT_EQ(acquire(R"({"pinToken":")" + fresh + R"("})", *plain, &c.ctx).pin, "5555");
}

TEST_F(PinSources, ThePinMemberFollowsThePinRule) {
    Context c;
    EXPECT_EQ(acquire(R"({"pin":"123456789012"})", *plain, &c.ctx).pin, "123456789012");
    for (const char* bad : {R"({"pin":""})", R"({"pin":"1234567890123"})", R"({"pin":"12a4"})", R"({"pin":" 1234"})",
                            R"({"pin":1234.5})"}) {
        EXPECT_EQ(failure(bad, *plain, &c.ctx), std::make_pair(9009, MALFORMED)) << bad;
    }
    // On a PIN-pad reader the reader collects the PIN: a "pin" member is neither used nor sealed,
    // and the dialog is never shown.
    PinAndToken onPad = acquire(R"({"pin":"2222"})", *pad, &c.ctx);
    EXPECT_EQ(onPad.pin, "");
    EXPECT_EQ(onPad.token, "");
    EXPECT_TRUE(c.input.titles.empty());
}

TEST_F(PinSources, PinPadReadersAndCapableLibrariesCollectThePinThemselves) {
    Context c;
    PinAndToken got = acquire(R"({"cmd":"VERIFY_PIN"})", *pad, &c.ctx);
    EXPECT_TRUE(got.pin.empty());
    EXPECT_TRUE(got.token.empty());
    library.capability = true;
    got = acquire(R"({"cmd":"VERIFY_PIN"})", *plain, &c.ctx);
    EXPECT_TRUE(got.pin.empty());
    EXPECT_TRUE(got.token.empty());
    EXPECT_TRUE(c.input.titles.empty());
}

TEST_F(PinSources, TheDialogWithItsTextsTrimmingAndThePausedLimit) {
    Context c;
    c.input.answers = {" \t0042\t "};
    c.watcher.start.store(1);
    PinAndToken got = acquire(R"({"cmd":"VERIFY_PIN"})", *plain, &c.ctx);
    EXPECT_EQ(got.pin, "0042");
    EXPECT_FALSE(got.token.empty());
    EXPECT_EQ(c.input.titles, std::vector<std::string>{"PIN Code Entry"});
    EXPECT_EQ(c.input.prompts, std::vector<std::string>{"Please provide PIN code for requested operation:"});
    EXPECT_EQ(c.input.activeDuringAsk, std::vector<int>{0});
    EXPECT_EQ(c.watcher.active.load(), 1);
    EXPECT_GT(c.watcher.start.load(), 1);

    c.input.answers = {"1234"};
    acquire(R"({"entry_title":"Sign","entry_message":"Your PIN, please"})", *plain, &c.ctx);
    EXPECT_EQ(c.input.titles.back(), "Sign");
    EXPECT_EQ(c.input.prompts.back(), "Your PIN, please");

    c.input.answers = {"   "};
    EXPECT_EQ(failure("{}", *plain, &c.ctx), std::make_pair(9009, MALFORMED));
}

TEST_F(PinSources, ACancelledOrFailedDialogIsATimeout) {
    Context c;
    const auto timeout = std::make_pair(9012, std::string("Timeout entering PIN or cancelled by user."));
    EXPECT_EQ(failure("{}", *plain, &c.ctx), timeout);  // no answer: cancelled
    c.input.throws = true;
    EXPECT_EQ(failure("{}", *plain, &c.ctx), timeout);
    EXPECT_EQ(c.watcher.active.load(), 1);
}

TEST_F(PinSources, WithoutADialogThePinIsRequired) {
    Context c(false);
    const auto [code, message] = failure(R"({"cmd":"VERIFY_PIN"})", *plain, &c.ctx);
    EXPECT_EQ(code, 99099);
    EXPECT_EQ(message, "Message [{\"cmd\":\"VERIFY_PIN\"}] misses a field named [pin]");
}

TEST_F(PinSources, AnExpiredRequestStopsBeforeAnySource) {
    Context c;
    c.watcher.expired.store(1);
    try {
        acquire(R"({"pin":"1234"})", *plain, &c.ctx);
        FAIL();
    } catch (const CommandException&) {
        FAIL();
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "expired");
    }
}

TEST_F(PinSources, WithoutAMasterKeyNoTokenIsIssuedOrOpened) {
    api_ctx bare;
    EXPECT_TRUE(acquire(R"({"pin":"1234"})", *plain, &bare).token.empty());
    Context c;
    EXPECT_EQ(acquire(R"({"pinToken":")" + token_for("9999", c) + R"(","pin":"1234"})", *plain, &bare).pin, "1234");
}

TEST_F(PinSources, ACardWithoutASerialNumberGetsNoTokenAndOpensNone) {
    Context c;
    card->serial.clear();
    const std::string token = token_for("9876", c);  // as made for another card without one
    PinAndToken got = acquire(R"({"pinToken":")" + token + R"(","pin":"4321"})", *plain, &c.ctx);
    EXPECT_EQ(got.pin, "4321");
    EXPECT_TRUE(got.token.empty());
    // Alone, it is not used: the user is asked.
    c.input.answers = {"5555"};
    EXPECT_EQ(acquire(R"({"pinToken":")" + token + R"("})", *plain, &c.ctx).pin, "5555");
    EXPECT_EQ(c.input.titles.size(), 1u);
}

TEST_F(PinSources, LogLinesNeverCarryTheDigits) {
    Context c;
    const std::string token = token_for("97531", c);
    c.input.answers = {"86420"};
    debug_enabled.store(true);
    testing::internal::CaptureStderr();
    acquire(R"({"pinToken":")" + token + R"("})", *plain, &c.ctx);
    acquire("{}", *plain, &c.ctx);
    const std::string log = testing::internal::GetCapturedStderr();
    debug_enabled.store(false);
    EXPECT_NE(log.find("Extracted token pin *** (5)"), std::string::npos) << log;
    EXPECT_NE(log.find("Got user input pin *** (5)"), std::string::npos) << log;
    EXPECT_EQ(log.find("97531"), std::string::npos) << log;
    EXPECT_EQ(log.find("86420"), std::string::npos) << log;
}
