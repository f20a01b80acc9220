#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "pkcs_fakes.h"
#include "plugin-api-pkcs-support.h"

using namespace pkcstest;

namespace {

const std::vector<uint8_t> CLASSIC = {0x3B, 0x98, 0x13, 0x40, 0x0A, 0xA5, 0x03, 0x01, 0x01, 0x01, 0xAD, 0x13, 0x11};
std::vector<uint8_t> beid18_atr() {
    return {0x3B, 0x7F, 0x96, 0x00, 0x00, 0x80, 0x31, 0x80, 0x65, 0xB0, 0x85,
            0x04, 0x01, 0x20, 0x12, 0x0F, 0xFF, 0x82, 0x90, 0x00, 0x11, 0x22};
}

}  // namespace

TEST(CardGroup, OnlyItsSixCommandsAreHandled) {
    FakeFactory factory;
    factory.library();
    Context c;
    for (const char* cmd : {"GET_INFO", "get_readers", "GET_READERS ", "TIMEOUT", "GET_PADS", ""}) {
        json_message* message = json_parse(R"({"cmd":"x"})");
        json_response* response = json_response_new();
        EXPECT_FALSE(run_card_command(factory, cmd, message, &c.ctx, response)) << cmd;
        EXPECT_STREQ(response->data, "") << cmd;
        json_response_free(response);
        json_free(message);
    }
}

TEST(CardGroup, GetReadersListsEveryLibraryWithOneRunningIndex) {
    FakeFactory factory;
    auto& first = factory.library();
    auto card = std::make_shared<FakeCard>();
    first.add("Classic \"quoted\" \\ reader 00 00", card, CLASSIC, 1);
    auto empty = first.add("Empty 00 01", nullptr);
    first.names.push_back("Vanished 00 00");  // listed, but GetReader finds nothing
    auto& second = factory.library("other");
    auto newer = std::make_shared<FakeCard>();
    second.add("Newer 00 00", newer, beid18_atr(), 0);
    second.add("One-byte ATR", newer, {0x3B}, 0);
    Context c;
    const Answer a = run(factory, R"({"cmd":"GET_READERS"})", &c.ctx);
    ASSERT_TRUE(a.handled);
    EXPECT_EQ(a.text,
              R"({"readerList": [{"index":0,"library":"__zidazaru__","name":"Classic \"quoted\" \\ reader 00 00",)"
              R"("atr":"3B9813400AA503010101AD13","cardPresent":true,"cardType":1},)"
              R"({"index":1,"library":"__zidazaru__","name":"Empty 00 01","cardPresent":false,"cardType":0},)"
              R"({"index":2,"library":"__zidazaru__","name":"Vanished 00 00","cardPresent":false,"cardType":0},)"
              R"({"index":3,"library":"other","name":"Newer 00 00","atr":"3B9813400AA503010101AD13",)"
              R"("cardPresent":true,"cardType":0},)"
              R"({"index":4,"library":"other","name":"One-byte ATR","atr":"3B","cardPresent":true,"cardType":0}]})");
    EXPECT_EQ(card->cardTypeCalls, 1);
}

TEST(CardGroup, EveryListedReaderCanBeAddressedAsAJsonEncoderWritesItsName) {
    FakeFactory factory;
    auto& library = factory.library();
    for (const char* name : {"Quote \" and \\ 00 00",
                             "Tab\tand\x01"
                             "control 00 00",
                             "Caf\xC3\xA9 \xE2\x82\xAC 00 00", "Emoji \xF0\x9F\x98\x80 00 00", "Slash / 00 00"})
        library.add(name, std::make_shared<FakeCard>());
    Context c;
    const Answer listed = run(factory, R"({"cmd":"GET_READERS"})", &c.ctx);
    ASSERT_EQ(listed.json["readerList"].size(), 5u) << listed.text;
    for (const auto& reader : listed.json["readerList"]) {
        for (const bool asciiOnly : {false, true}) {
            const nlohmann::json request = {{"cmd", "PIN_PAD_AVAILABLE"}, {"reader", reader["name"]}};
            const std::string text = request.dump(-1, ' ', asciiOnly);
            EXPECT_EQ(run(factory, text, &c.ctx).text, R"({"available":false})") << text;
        }
    }
    // Escapes that name no text a reader could have are no name at all.
    for (const char* member : {R"(\u0000)", R"(\ud800)", R"(\udc00x)"})
        EXPECT_EQ(run(factory, std::string(R"({"cmd":"PIN_PAD_AVAILABLE","reader":"Slash )") + member + R"("})", &c.ctx)
                      .json["error"]["code"],
                  0);
}

TEST(CardGroup, GetReadersWithoutReadersAndWhenListingFails) {
    FakeFactory factory;
    auto& library = factory.library();
    Context c;
    EXPECT_EQ(run(factory, R"({"cmd":"GET_READERS"})", &c.ctx).text, R"({"readerList": []})");
    library.onList = [] {
        throw Utils::api_exception("error calling SCardListReaders", static_cast<int32_t>(0x8010001D), 0);
    };
    EXPECT_EQ(run(factory, R"({"cmd":"GET_READERS"})", &c.ctx).text,
              error_text(2, 2, "Error getting readers (Comm 0x8010001d) (0)"));
}

TEST(CardGroup, ReadFileReadsThePathAndConvertsFailures) {
    FakeFactory factory;
    auto card = std::make_shared<FakeCard>();
    card->files[bytes({0x3F, 0x00, 0xDF, 0x01, 0x40, 0x31})] = {0x01, 0xAB, 0xFF};
    card->files[""] = {};
    factory.library().add("R", card);
    Context c;
    EXPECT_EQ(run(factory, R"({"cmd":"READ_FILE","reader":"R","label":"x","fileId":"3f00df014031"})", &c.ctx).text,
              R"({"data":"01ABFF"})");
    EXPECT_EQ(run(factory, R"({"cmd":"READ_FILE","reader":"R","fileId":""})", &c.ctx).text, R"({"data":""})");
    EXPECT_EQ(card->readPaths.back(), "");
    EXPECT_EQ(run(factory, R"({"cmd":"READ_FILE","reader":"R","fileId":"3F00DF014032"})", &c.ctx).text,
              error_text(5, 5, "Error reading file (Comm 0x6a82) (0xa4080c)"));
    EXPECT_EQ(run(factory, R"({"cmd":"READ_FILE","reader":"R","fileId":"3F00G0"})", &c.ctx).text,
              error_text(3, 3, "Invalid file ID [3F00G0]. Should be maximum 64 hex characters"));
    EXPECT_EQ(run(factory, R"({"cmd":"READ_FILE","reader":"R"})", &c.ctx).text,
              error_text(99, 99, "Message [{ cmd : READ_FILE , reader : R }] misses a field named [fileId]"));
    EXPECT_EQ(run(factory, R"({"cmd":"READ_FILE","fileId":"3F00"})", &c.ctx).text,
              error_text(99, 99, "Message [{ cmd : READ_FILE , fileId : 3F00 }] misses a field named [reader]"));
    EXPECT_EQ(run(factory, R"({"cmd":"VERIFY_PIN","pin":"9876","pinToken":"secret"})", &c.ctx).text,
              error_text(99, 99,
                         "Message [{ cmd : VERIFY_PIN , pin : *** , pinToken : *** }] misses a field named [reader]"));
    EXPECT_EQ(run(factory, R"({"cmd":"READ_FILE","reader":"r","fileId":"3F00"})", &c.ctx).text,
              error_text(0, 0, "Card reader [r] not found"));
    card->onRead = [] {
        throw Utils::api_exception("error calling SCardTransmit", static_cast<int32_t>(0x80100016), 0);
    };
    EXPECT_EQ(run(factory, R"({"cmd":"READ_FILE","reader":"R","fileId":"3F00DF014031"})", &c.ctx).text,
              error_text(5, 5, "Error reading file (Comm 0x80100016) (0)"));
}

TEST(CardGroup, ConnectFailuresAnswerNoCardOrTheFailureText) {
    FakeFactory factory;
    auto& library = factory.library();
    library.add("Empty", nullptr);
    auto refusing = library.add("Refusing", std::make_shared<FakeCard>());
    refusing->onConnect = [] { throw CommBase::CommException("weird", 7, 9); };
    Context c;
    EXPECT_EQ(run(factory, R"({"cmd":"READ_FILE","reader":"Empty","fileId":"3F00"})", &c.ctx).text,
              error_text(99, 99, "error calling SCardConnect (0x8010000c) (0x0)"));
    EXPECT_EQ(run(factory, R"({"cmd":"VERIFY_PIN","reader":"Refusing","pin":"1234"})", &c.ctx).text,
              error_text(1, 1, "No (valid) card present in [Refusing] (Comm 0x7) (0x9)"));
    // Anything that is not a standard exception.
    refusing->onConnect = [] { throw 42; };
    EXPECT_EQ(run(factory, R"({"cmd":"READ_FILE","reader":"Refusing","fileId":"3F00"})", &c.ctx).text,
              error_text(99, 99, "unknown exception"));
}

TEST(CardGroup, PinPadAvailableNeedsNoCard) {
    FakeFactory factory;
    auto& library = factory.library();
    library.add("Plain", nullptr);
    library.add("Pad", nullptr, {}, 0, true);
    Context c;
    EXPECT_EQ(run(factory, R"({"cmd":"PIN_PAD_AVAILABLE","reader":"Plain"})", &c.ctx).text, R"({"available":false})");
    EXPECT_EQ(run(factory, R"({"cmd":"PIN_PAD_AVAILABLE","reader":"Pad"})", &c.ctx).text, R"({"available":true})");
}

TEST(CardGroup, VerifyPinAnswers) {
    FakeFactory factory;
    auto& library = factory.library();
    auto card = std::make_shared<FakeCard>();
    library.add("Plain", card);
    library.add("Pad", card, CLASSIC, 1, true);
    Context c;
    const Answer ok = run(factory, R"({"cmd":"VERIFY_PIN","reader":"Plain","pin":"1234"})", &c.ctx);
    ASSERT_TRUE(ok.json.contains("pinToken")) << ok.text;
    EXPECT_EQ(ok.text, R"({"pinToken":")" + ok.json["pinToken"].get<std::string>() +
                           R"(","pinRemainingAttempts":-1,"pinValid":true,"valid":true})");

    // The token of one answer unlocks the next request.
    const Answer again =
        run(factory,
            R"({"cmd":"VERIFY_PIN","reader":"Plain","pinToken":")" + ok.json["pinToken"].get<std::string>() + "\"}",
            &c.ctx);
    EXPECT_EQ(again.json["valid"], true) << again.text;
    EXPECT_EQ(card->verifiedPins.back(), "1234");

    EXPECT_EQ(run(factory, R"({"cmd":"VERIFY_PIN","reader":"Plain","pin":"1111"})", &c.ctx).text,
              R"({"pinRemainingAttempts":2,"pinValid":false,"valid":false})");
    EXPECT_EQ(run(factory, R"({"cmd":"VERIFY_PIN","reader":"Plain","pin":"1111"})", &c.ctx).text,
              R"({"pinRemainingAttempts":1,"pinValid":false,"valid":false})");
    EXPECT_EQ(run(factory, R"({"cmd":"VERIFY_PIN","reader":"Plain","pin":"1111"})", &c.ctx).text,
              R"({"pinRemainingAttempts":0,"pinValid":false,"valid":false})");
    EXPECT_EQ(run(factory, R"({"cmd":"VERIFY_PIN","reader":"Plain","pin":"1234"})", &c.ctx).text,
              error_text(99, 13, "Card blocked, no remaining pin attempts."));
    card->tries = 3;

    // On a PIN-pad reader the user types on the reader: no dialog, no token.
    EXPECT_EQ(run(factory, R"({"cmd":"VERIFY_PIN","reader":"Pad"})", &c.ctx).text,
              R"({"pinRemainingAttempts":-1,"pinValid":true,"valid":true})");
    EXPECT_TRUE(c.input.titles.empty());

    EXPECT_EQ(
        run(factory, R"({"cmd":"VERIFY_PIN","reader":"Plain","pin":"12345678901234"})", &c.ctx).text,
        error_text(9, 9, "Malformed PIN. It should only contain numbers, at least one digit and at most 12 digits"));
    EXPECT_EQ(run(factory, R"({"cmd":"VERIFY_PIN","reader":"Plain"})", &c.ctx).text,
              error_text(9, 12, "Timeout entering PIN or cancelled by user."));
}

TEST(CardGroup, VerifyPinPausesTheLimitAroundTheVerification) {
    FakeFactory factory;
    auto card = std::make_shared<FakeCard>();
    auto reader = factory.library().add("Plain", card);
    Context c;
    c.watcher.timeout.store(30'000'000'000);
    std::vector<int> activeInside;
    card->onVerify = [&] { activeInside.push_back(c.watcher.active.load()); };
    const Answer a = run(factory, R"({"cmd":"VERIFY_PIN","reader":"Plain","pin":"1234"})", &c.ctx);
    EXPECT_EQ(a.json["valid"], true);
    ASSERT_TRUE(reader->listener());
    EXPECT_EQ(activeInside, std::vector<int>{0});
    EXPECT_EQ(c.watcher.active.load(), 1);
    EXPECT_EQ(c.watcher.timeout.load(), 10'000'000'000);  // 10 seconds from the end of the verification

    // A request that timed out before the card verifies answers "expired" and sends no PIN.
    c.watcher.expired.store(1);
    card->verifiedPins.clear();
    const Answer late = run(factory, R"({"cmd":"VERIFY_PIN","reader":"Plain","pin":"1234"})", &c.ctx);
    EXPECT_EQ(late.text, error_text(99, 99, "expired"));
    EXPECT_TRUE(card->verifiedPins.empty());
}

TEST(CardGroup, SignatureCommandsNeedAPcscReader) {
    FakeFactory factory;
    auto& library = factory.library();
    library.names.push_back("Other");
    library.readers["Other"] = std::make_shared<OtherReader>();
    Context c;
    EXPECT_EQ(run(factory,
                  R"({"cmd":"COMPUTE_AUTHENTICATION","reader":"Other","hash":")" + std::string(64, 'A') + "\"}", &c.ctx)
                  .text,
              error_text(99, 99, "operation not supported for library"));
}
