// PIN verification in the four reader classes the virtual readers offer.
#include "test_bed.h"

using namespace TestBed;

namespace {

class Pin : public CardTest {};

// The CommException a call raised, or a failure.
template <typename Body>
CommBase::CommException PinOutcome(Body body) {
    try {
        body();
    } catch (const CommBase::CommException& e) {
        return e;
    } catch (const std::exception& e) {
        ADD_FAILURE() << "not a PIN outcome: " << e.what();
        return CommBase::CommException("", -1, -1);
    }
    ADD_FAILURE() << "no exception";
    return CommBase::CommException("", -1, -1);
}

TEST_F(Pin, PlainReaderCountsTriesRestoresThemAndBlocks) {
    Insert("plain");
    auto reader = OpenReader(kPlain);
    auto wrong = PinOutcome([&] { reader->VerifyPin(Utils::Secret::copy_of("1111")); });
    EXPECT_EQ(wrong.code(), 6);
    EXPECT_EQ(wrong.value(), 2);
    EXPECT_EQ(wrong.message(), "Error verifying PIN; invalid pin; remaining 2");
    EXPECT_EQ(reader->GetRemainingAttempts(), 2);
    EXPECT_TRUE(reader->VerifyPin(Utils::Secret::copy_of("1234")));
    EXPECT_EQ(reader->GetRemainingAttempts(), -1);

    EXPECT_EQ(PinOutcome([&] { reader->VerifyPin(Utils::Secret::copy_of("0000")); }).value(),
              2);  // restored to 3 by the right PIN
    EXPECT_EQ(PinOutcome([&] { reader->VerifyPin(Utils::Secret::copy_of("0000")); }).value(), 1);
    auto last = PinOutcome([&] { reader->VerifyPin(Utils::Secret::copy_of("000000")); });
    EXPECT_EQ(last.code(), 6);
    EXPECT_EQ(last.value(), 0);
    auto blocked = PinOutcome([&] { reader->VerifyPin(Utils::Secret::copy_of("1234")); });
    EXPECT_EQ(blocked.code(), 3);
    EXPECT_EQ(blocked.message(), "Error verifying PIN; card blocked");
    EXPECT_EQ(reader->GetRemainingAttempts(), 0);

    const std::string log = CardLog("plain");
    EXPECT_EQ(log.find("1234"), std::string::npos) << "the card log holds a PIN";
}

TEST_F(Pin, ConfiguredPinAndTries) {
    Insert("plain", "--pin 987654 --tries 5");
    auto reader = OpenReader(kPlain);
    EXPECT_EQ(PinOutcome([&] { reader->VerifyPin(Utils::Secret::copy_of("1234")); }).value(), 4);
    EXPECT_TRUE(reader->VerifyPin(Utils::Secret::copy_of("987654")));
}

TEST_F(Pin, EscapePinPadTypedWrongCancelledTimedOut) {
    std::vector<bool> listener;
    Insert("escape");
    {
        auto reader = OpenReader(kEscape);
        reader->SetPinPadListener([&](bool on) { listener.push_back(on); });
        EXPECT_TRUE(reader->VerifyPin(Utils::Secret::copy_of("")));
        EXPECT_EQ(listener, (std::vector<bool>{true, false}));
    }
    EXPECT_NE(CardLog("escape").find("C F195F7C1"), std::string::npos);
    Remove("escape");

    Insert("escape", "--pinpad-pin 4321");
    EXPECT_EQ(PinOutcome([&] { OpenReader(kEscape)->VerifyPin(Utils::Secret::copy_of("1234")); }).message(),
              "Error verifying PIN; invalid pin; remaining 2");
    Remove("escape");

    for (const char* result : {"cancel", "timeout"}) {
        Insert("escape", std::string("--pinpad-result ") + result);
        auto outcome = PinOutcome([&] { OpenReader(kEscape)->VerifyPin(Utils::Secret::copy_of("")); });
        EXPECT_EQ(outcome.code(), 4) << result;
        EXPECT_EQ(outcome.message(), "Error verifying PIN; PIN timeout or cancelled");
        Remove("escape");
    }
}

TEST_F(Pin, CcidPinPadTypedWrongCancelledTimedOut) {
    // The reader lists FEATURE_VERIFY_PIN_DIRECT, takes the PIN from its keypad (scripted by the
    // card process), builds the VERIFY itself and answers the card's status word, or 6401 / 6400.
    std::vector<bool> listener;
    Insert("ccid");
    {
        auto reader = OpenReader(kCcid);
        reader->SetPinPadListener([&](bool on) { listener.push_back(on); });
        EXPECT_TRUE(reader->VerifyPin(Utils::Secret::copy_of("")));
        EXPECT_EQ(listener, (std::vector<bool>{true, false}));
        EXPECT_EQ(reader->GetRemainingAttempts(), -1);
    }
    const std::string log = CardLog("ccid");
    EXPECT_NE(log.find("keypad typed 4 digits\nC 00200001 (PIN block, 8 bytes) PIN correct -> 9000"), std::string::npos)
        << log;
    Remove("ccid");

    Insert("ccid", "--pinpad-pin 4321");
    {
        auto reader = OpenReader(kCcid);
        auto wrong = PinOutcome([&] { reader->VerifyPin(Utils::Secret::copy_of("1234")); });
        EXPECT_EQ(wrong.code(), 6);
        EXPECT_EQ(wrong.message(), "Error verifying PIN; invalid pin; remaining 2");
        EXPECT_EQ(reader->GetRemainingAttempts(), 2);
    }
    EXPECT_EQ(CardLog("ccid").find("4321"), std::string::npos) << "the card log holds a PIN";
    Remove("ccid");

    for (const char* result : {"cancel", "timeout"}) {
        Insert("ccid", std::string("--pinpad-result ") + result);
        auto outcome = PinOutcome([&] { OpenReader(kCcid)->VerifyPin(Utils::Secret::copy_of("")); });
        EXPECT_EQ(outcome.code(), 4) << result;
        EXPECT_EQ(outcome.message(), "Error verifying PIN; PIN timeout or cancelled");
        EXPECT_EQ(CardLog("ccid").find("C 00200001"), std::string::npos) << "the card got a VERIFY";
        Remove("ccid");
    }
}

TEST_F(Pin, PlainCardRefusesTheEscapeCommand) {
    // A card in a plain reader sees the escape class as an unknown class: a status-word failure.
    Insert("plain");
    auto reader = OpenReader(kPlain);
    reader->Connect();
    try {
        reader->SignChallenge(1, {}, "en");
        ADD_FAILURE() << "no exception";
    } catch (const Utils::api_exception& e) {
        EXPECT_STREQ(e.what(), "Error computing sign challenge; error SW (0x6e00) (0xf195f7fe)");
    }
}

TEST_F(Pin, BypassReaderSendsNothing) {
    Insert("bypass");
    std::vector<bool> listener;
    auto reader = OpenReader(kBypass);
    reader->SetPinPadListener([&](bool on) { listener.push_back(on); });
    EXPECT_TRUE(reader->VerifyPin(Utils::Secret::copy_of("0000")));
    EXPECT_EQ(listener, (std::vector<bool>{true, false}));
    EXPECT_EQ(CardLog("bypass").find("C 00200001"), std::string::npos);
}

TEST_F(Pin, NoCardIsTheNotConnectedError) {
    auto reader = OpenReader(kPlain);
    EXPECT_THROW(reader->VerifyPin(Utils::Secret::copy_of("1234")), std::logic_error);
    // Signing on an empty reader fails at its first command.
    try {
        reader->Sign(Utils::Secret::copy_of("1234"), "__signature__", Bytes(51, 0x30));
        ADD_FAILURE() << "signed without a card";
    } catch (const Utils::api_exception& e) {
        EXPECT_EQ(e.message(), "Error setting security environment; error calling SCardTransmit");
    }
}

}  // namespace
