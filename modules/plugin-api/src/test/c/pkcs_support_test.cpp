#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "clock.h"
#include "pkcs_fakes.h"
#include "plugin-api-pkcs-support.h"

using namespace pkcstest;

namespace {

std::string written(const CommandException& e) {
    json_response* response = json_response_new();
    e.response_writer(response);
    std::string text = response->data;
    json_response_free(response);
    return text;
}

int64_t fakeMonotonic = 0;
int64_t fake_monotonic() { return fakeMonotonic; }

}  // namespace

TEST(CommandErrors, PinOutcomesOfTheCommLayerBecomeTheirOwnAnswers) {
    const auto blocked = to_command_exception(CommBase::CommException("card blocked", 3, 0), "Error verifying PIN", 99);
    EXPECT_EQ(written(blocked), error_text(99, 13, "Card blocked, no remaining pin attempts."));

    const auto cancelled = to_command_exception(CommBase::CommException("PIN timeout", 4, 0), "ctx", 8);
    EXPECT_EQ(written(cancelled), error_text(99, 12, "Timeout entering PIN or cancelled by user."));

    const auto wrong = to_command_exception(CommBase::CommException("invalid pin; remaining 2", 6, 2), "ctx", 8);
    EXPECT_EQ(written(wrong), R"({"pinRemainingAttempts":2,"pinValid":false,"valid":false})");
    const auto last = to_command_exception(CommBase::CommException("invalid pin; remaining 0", 6, 0), "ctx", 8);
    EXPECT_EQ(written(last), R"({"pinRemainingAttempts":0,"pinValid":false,"valid":false})");

    const auto uncounted = to_command_exception(CommBase::CommException("", 5, 0), "ctx", 8);
    EXPECT_EQ(written(uncounted), R"({"pinValid":false,"valid":false})");
}

TEST(CommandErrors, OtherFailuresCarryTheContextAndBothNumbersInHashX) {
    const auto removed =
        to_command_exception(Utils::api_exception("error calling SCardTransmit", static_cast<int32_t>(0x80100069), 0),
                             "Error reading file", 5);
    EXPECT_EQ(removed.message(), "Error reading file (Comm 0x80100069) (0)");
    EXPECT_EQ(written(removed), error_text(5, 5, "Error reading file (Comm 0x80100069) (0)"));

    // A CommException code that has no answer of its own (signing failed after the PIN) is converted too.
    const auto signing =
        to_command_exception(CommBase::CommException("Error computing digital signature; error SW", 1, 0x6982),
                             "Error computing digital signature", 8);
    EXPECT_EQ(written(signing), error_text(8, 8, "Error computing digital signature (Comm 0x1) (0x6982)"));

    const auto zeros = to_command_exception(Utils::api_exception("x", 0, 0), "Error getting readers", 2);
    EXPECT_EQ(zeros.message(), "Error getting readers (Comm 0) (0)");
    const auto negative = to_command_exception(Utils::api_exception("x", -1, 0x6A82), "c", 2);
    EXPECT_EQ(negative.message(), "c (Comm 0xffffffff) (0x6a82)");

    const auto huge = to_command_exception(Utils::api_exception("x", 1, 1), std::string(5000, 'a'), 2);
    EXPECT_EQ(huge.message().size(), 2047u);
}

TEST(CommandErrors, MessagesAreInsertedAsTextAndStayValidJson) {
    const CommandException e("100% \"quoted\" \\ back\nslash %s", 3);
    const auto json = nlohmann::json::parse(written(e));
    EXPECT_EQ(json["error"]["message"], "100%  quoted  \\ back\nslash %s");
    EXPECT_EQ(json["error"]["id"], 3);
}

TEST(RequestMembers, RequiredOptionalAndCut) {
    const std::string request = R"({"cmd":"READ_FILE","label":"","long":")" + std::string(300, 'x') + "\"}";
    json_message* message = json_parse(request.c_str());
    ASSERT_NE(message, nullptr);
    bool missing = false;
    EXPECT_EQ(read_field(message, "label", "d", true, &missing), "");
    EXPECT_FALSE(missing);
    EXPECT_EQ(read_field(message, "key", "d", true, &missing), "d");
    EXPECT_TRUE(missing);
    EXPECT_EQ(read_field(message, "long").size(), 254u);
    try {
        read_field(message, "reader");
        FAIL();
    } catch (const CommandException& e) {
        EXPECT_EQ(e.code(), 99);
        EXPECT_EQ(e.id(), 99);
        EXPECT_EQ(e.message().rfind("Message [{\"cmd\":\"READ_FILE\",\"label\":\"\",\"long\":\"xxx", 0), 0u);
        EXPECT_NE(e.message().find("\"}] misses a field named [reader]"), std::string::npos);
    }
    json_free(message);
}

TEST(RequestMembers, HexWithABound) {
    EXPECT_EQ(read_hex_field("3f00DF005039", 3, "file ID", 32), (std::vector<uint8_t>{0x3F, 0, 0xDF, 0, 0x50, 0x39}));
    EXPECT_TRUE(read_hex_field("", 3, "file ID", 32).empty());
    EXPECT_EQ(read_hex_field(std::string(64, 'A'), 3, "file ID", 32).size(), 32u);
    for (const std::string& bad : {std::string(66, 'A'), std::string("ABC"), std::string("3G")}) {
        try {
            read_hex_field(bad, 3, "file ID", 32);
            FAIL() << bad;
        } catch (const CommandException& e) {
            EXPECT_EQ(e.message(), "Invalid file ID [" + bad + "]. Should be maximum 64 hex characters");
            EXPECT_EQ(e.code(), 3);
            EXPECT_EQ(e.id(), 3);
        }
    }
    // Without a display name nothing is raised: invalid text gives no bytes, any length passes.
    EXPECT_TRUE(read_hex_field("ABC", 99, "", 0).empty());
    EXPECT_TRUE(read_hex_field("zz", 99, "", 0).empty());
    EXPECT_EQ(read_hex_field(std::string(200, '0'), 99, "", 0).size(), 100u);
}

TEST(PinResult, MembersInOrderAndTheTokenOnlyWhenValid) {
    auto card = std::make_shared<FakeCard>();
    FakeReader reader("r", false, {0x3B}, 1, card);
    auto written_for = [&](CommBase::ICommReader* r, bool valid, const std::string& token, bool last) {
        json_response* response = json_response_new();
        json_response_begin(response);
        write_pin_result(response, valid, r, token, last);
        std::string text = response->data;
        json_response_free(response);
        return text;
    };
    EXPECT_EQ(written_for(&reader, true, "T0k+/=", true),
              R"({"pinToken":"T0k+/=","pinRemainingAttempts":-1,"pinValid":true,"valid":true)");
    EXPECT_EQ(written_for(&reader, true, "", false), R"({"pinRemainingAttempts":-1,"pinValid":true,"valid":true,)");
    EXPECT_EQ(written_for(&reader, false, "T", true), R"({"pinRemainingAttempts":-1,"pinValid":false,"valid":false)");
    OtherReader other;
    EXPECT_EQ(written_for(&other, true, "", true), R"({"pinValid":true,"valid":true)");
}

TEST(PinListener, PausesTheLimitAndGivesTenSecondsAfterTheVerification) {
    fakeMonotonic = 5'000'000'000;
    Utils::set_monotonic_clock(fake_monotonic);
    Context c;
    c.watcher.start.store(1);
    c.watcher.timeout.store(30'000'000'000);
    auto listener = pin_interaction_listener(&c.ctx);
    listener(true);
    EXPECT_EQ(c.watcher.active.load(), 0);
    fakeMonotonic += 60'000'000'000;  // the user took a minute on the pad
    listener(false);
    EXPECT_EQ(c.watcher.active.load(), 1);
    EXPECT_EQ(c.watcher.start.load(), fakeMonotonic);
    EXPECT_EQ(c.watcher.timeout.load(), 10'000'000'000);

    // Once the request has timed out, a new verification is refused and the watcher left alone.
    c.watcher.expired.store(1);
    c.watcher.start.store(42);
    try {
        listener(true);
        FAIL();
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "expired");
    }
    EXPECT_EQ(c.watcher.active.load(), 1);
    EXPECT_EQ(c.watcher.start.load(), 42);
    Utils::set_monotonic_clock(nullptr);

    // Without a watcher (synchronous processing) the listener does nothing.
    api_ctx none;
    auto quiet = pin_interaction_listener(&none);
    quiet(true);
    quiet(false);
}
