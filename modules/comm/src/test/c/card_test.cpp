// The identity card operations: recognition, PIN verification in each reader class, signatures
// and the reader's challenge command, byte for byte.
#include <reader.h>
#include <cstdio>

#include "comm_test_support.h"

using namespace CommTest;

namespace {

const std::string kPlain = "Reader A 00 00";
const std::string kEscape = "VASCO DIGIPASS 870 00 00";
const std::string kCcid = "Gemalto APG8201 00 00";
const std::string kBypass = "BOSA BEIDX 00 00";
const char* kVerify1234 = "00 20 00 01 08 24 12 34 FF FF FF FF FF";
const char* kEscapeVerify =
    "F1 95 F7 C1 1B 00 89 47 04 0C 04 02 01 04 09 00 00 00 00 00 20 00 01 08 20 FF FF FF FF FF FF FF";
const char* kVerifyStructure =
    "00 1E 89 47 04 0C 04 02 01 09 04 00 00 00 00 0D 00 00 00 00 20 00 01 08 20 FF FF FF FF FF FF FF";

class Card : public ScriptedTest {};

// Records the listener's calls.
struct ListenerLog {
    std::vector<bool> calls;
    std::function<void(bool)> listener() {
        return [this](bool on) { calls.push_back(on); };
    }
};

TEST_F(Card, RecognitionProbesOnceAndAnAbsentCardIsUnknown) {
    Script s;
    OpenWith(s, kPlain).Connect(kPlain, 3, SCARD_E_NO_SMARTCARD, 0);
    ConnectBelpic(s, kPlain).Disconnect().Release();
    PcscMock::Install(s);
    auto reader = OpenReader(kPlain);
    EXPECT_EQ(reader->GetCardType(), 0);
    EXPECT_EQ(reader->GetCardType(), 1);
    EXPECT_EQ(reader->GetCardType(), 1);  // nothing sent
}

TEST_F(Card, OtherCardIsProbedAgainOnEveryCall) {
    Script s;
    OpenWith(s, kPlain)
        .Connect(kPlain, 3, SCARD_S_SUCCESS, SCARD_PROTOCOL_T1)
        .Begin()
        .Transmit("00 A4 08 0C 06 3F 00 DF 00 50 32", "6A 82")
        .End()
        .Begin()
        .Transmit("00 A4 08 0C 06 3F 00 DF 00 50 32", "90 00")
        .Transmit("00 B0 00 00 1F", "30 03 04 01 41 90 00")
        .End()
        .Disconnect()
        .Release();
    PcscMock::Install(s);
    auto reader = OpenReader(kPlain);
    EXPECT_EQ(reader->GetCardType(), 0);
    EXPECT_EQ(reader->GetCardType(), 0);
}

// The token information's head (31 bytes) names the card when it holds the label and the serial
// number whole; otherwise the file is read whole, and its lengths may take any DER form.
TEST_F(Card, TheSerialNumberIsFoundInEveryDerLengthForm) {
    const std::string serial = "53 4C 49 4E 33 66 00 29 6C FF 27 02 9F 07 17 21";
    const std::string label = "0C 06 42 45 4C 50 49 43";
    const std::string shortForm = "30 21 02 01 00 04 10 " + serial + " " + label + " 03 02 04 30";
    std::string algorithms = "A2 64";
    for (int i = 0; i < 100; ++i) algorithms += " 00";
    const std::string longForm = "30 81 87 02 01 00 04 10 " + serial + " " + label + " 03 02 04 30 " + algorithms;
    const std::string select = "00 A4 08 0C 06 3F 00 DF 00 50 32";
    struct Case {
        std::string head, whole, serial;
    };
    for (const Case& c :
         {Case{shortForm.substr(0, 31 * 3 - 1), "", serial}, Case{longForm.substr(0, 31 * 3 - 1), longForm, serial},
          Case{"30 81 0F 02 01 00 " + label + " 03 02 04 30", "", ""}}) {
        SCOPED_TRACE(c.head);
        Script s;
        OpenWith(s, kPlain)
            .Connect(kPlain, 3, SCARD_S_SUCCESS, SCARD_PROTOCOL_T1)
            .Begin()
            .Transmit(select, "90 00")
            .Transmit("00 B0 00 00 1F", c.head + " 90 00")
            .End();
        if (!c.whole.empty()) s.Begin().Transmit(select, "90 00").Transmit("00 B0 00 00 00", c.whole + " 90 00").End();
        s.Disconnect().Release();
        PcscMock::Install(s);
        auto reader = OpenReader(kPlain);
        EXPECT_EQ(reader->GetCardType(), 1);
        EXPECT_EQ(reader->GetCardSerial(), Hex(c.serial));
        reader.reset();
        PcscMock::VerifyAllConsumed();
    }
}

TEST_F(Card, PlainReaderSendsThePinBlockAndListenerBracketsIt) {
    Script s;
    ConnectBelpic(OpenWith(s, kPlain), kPlain).Transmit(kVerify1234, "90 00").Disconnect().Release();
    PcscMock::Install(s);
    auto reader = OpenReader(kPlain);
    ListenerLog log;
    reader->SetPinPadListener(log.listener());
    EXPECT_TRUE(reader->VerifyPin(Utils::Secret::copy_of("1234")));
    EXPECT_EQ(log.calls, (std::vector<bool>{true, false}));
    EXPECT_EQ(reader->GetRemainingAttempts(), -1);
}

TEST_F(Card, PinOutcomesRaiseCommExceptionsWithTheOperationPrefix) {
    struct Case {
        const char* sw;
        int code;
        int value;
        const char* message;
        int remaining;
    } cases[] = {
        {"63 C2", 6, 2, "Error verifying PIN; invalid pin; remaining 2", 2},
        {"63 C0", 6, 0, "Error verifying PIN; invalid pin; remaining 0", 0},
        {"69 83", 3, 0, "Error verifying PIN; card blocked", 0},
        {"64 01", 4, 0, "Error verifying PIN; PIN timeout or cancelled", -1},
        {"64 00", 4, 0, "Error verifying PIN; PIN timeout or cancelled", -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.sw);
        Script s;
        ConnectBelpic(OpenWith(s, kPlain), kPlain).Transmit(kVerify1234, c.sw).Disconnect().Release();
        PcscMock::Install(s);
        auto reader = OpenReader(kPlain);
        ListenerLog log;
        reader->SetPinPadListener(log.listener());
        try {
            reader->VerifyPin(Utils::Secret::copy_of("1234"));
            ADD_FAILURE() << "no exception";
        } catch (const CommBase::CommException& e) {
            EXPECT_EQ(e.code(), c.code);
            EXPECT_EQ(e.value(), c.value);
            EXPECT_EQ(e.message(), c.message);
        }
        EXPECT_EQ(log.calls, (std::vector<bool>{true, false}));
        EXPECT_EQ(reader->GetRemainingAttempts(), c.remaining);
        reader.reset();
        PcscMock::VerifyAllConsumed();
    }
}

TEST_F(Card, OtherStatusIsAPlainStatusWordFailureWithTheVerifyWord) {
    Script s;
    ConnectBelpic(OpenWith(s, kPlain), kPlain).Transmit(kVerify1234, "69 82").Disconnect().Release();
    PcscMock::Install(s);
    auto reader = OpenReader(kPlain);
    try {
        reader->VerifyPin(Utils::Secret::copy_of("1234"));
        ADD_FAILURE() << "no exception";
    } catch (const CommBase::CommException&) {
        ADD_FAILURE() << "not a PIN outcome";
    } catch (const Utils::api_exception& e) {
        EXPECT_STREQ(e.what(), "Error verifying PIN; error SW (0x6982) (0x200001)");
    }
}

TEST_F(Card, MalformedPinIsRefusedBeforeAnythingIsSent) {
    Script s;
    ConnectBelpic(OpenWith(s, kPlain), kPlain).Disconnect().Release();
    PcscMock::Install(s);
    auto reader = OpenReader(kPlain);
    EXPECT_EQ(Raised([&] { reader->VerifyPin(Utils::Secret::copy_of("12a4")); }).message(),
              "Error verifying PIN; invalid PIN format");
}

TEST_F(Card, UnconnectedReaderEndsVerificationWithTheLogicError) {
    Script s;
    OpenWith(s, kPlain).Connect(kPlain, 3, SCARD_E_NO_SMARTCARD, 0).Release();
    PcscMock::Install(s);
    auto reader = OpenReader(kPlain);
    ListenerLog log;
    reader->SetPinPadListener(log.listener());
    try {
        reader->VerifyPin(Utils::Secret::copy_of("1234"));
        ADD_FAILURE() << "no exception";
    } catch (const std::logic_error& e) {
        EXPECT_STREQ(e.what(), "SZidaZaru::`anonymous-namespace'::SCardReader::CheckConnected: not connected");
    }
    EXPECT_TRUE(log.calls.empty());
}

TEST_F(Card, EscapePinPadSendsTheReaderCommand) {
    Script s;
    ConnectBelpic(OpenWith(s, kEscape), kEscape).Transmit(kEscapeVerify, "90 00").Disconnect().Release();
    PcscMock::Install(s);
    auto reader = OpenReader(kEscape);
    EXPECT_TRUE(reader->VerifyPin(Utils::Secret::copy_of("")));
}

TEST_F(Card, CcidPinPadUsesTheVerifyCodeFromTheFeatureList) {
    Script s;
    ConnectBelpic(OpenWith(s, kCcid), kCcid)
        .Control(CM_IOCTL_GET_FEATURE_REQUEST, "", "0A 04 42 33 00 12 06 04 42 33 00 06 07 04 42 33 00 07")
        .Control(0x42330006, kVerifyStructure, "63 C1")
        .Disconnect()
        .Release();
    PcscMock::Install(s);
#ifndef _WIN32
    EXPECT_EQ(static_cast<uint32_t>(CM_IOCTL_GET_FEATURE_REQUEST), 0x42000D48u);  // pcsc-lite's value
#endif
    auto reader = OpenReader(kCcid);
    auto e = Raised([&] { reader->VerifyPin(Utils::Secret::copy_of("ignored")); });
    EXPECT_EQ(e.message(), "Error verifying PIN; invalid pin; remaining 1");
    EXPECT_EQ(reader->GetRemainingAttempts(), 1);
}

TEST_F(Card, CcidReaderWithoutTheVerifyFeature) {
    for (const char* features : {"0A 04 42 33 00 12", "06 03 42 33 00", "06 04 42 33"}) {
        SCOPED_TRACE(features);
        Script s;
        ConnectBelpic(OpenWith(s, kCcid), kCcid)
            .Control(CM_IOCTL_GET_FEATURE_REQUEST, "", features)
            .Disconnect()
            .Release();
        PcscMock::Install(s);
        auto reader = OpenReader(kCcid);
        ListenerLog log;
        reader->SetPinPadListener(log.listener());
        auto e = Raised([&] { reader->VerifyPin(Utils::Secret::copy_of("")); });
        EXPECT_STREQ(e.what(), "Error verifying PIN; Signature Feature not found (0x0) (0x0)");
        EXPECT_EQ(log.calls, (std::vector<bool>{true, false}));
        reader.reset();
        PcscMock::VerifyAllConsumed();
    }
}

TEST_F(Card, CcidControlFailureIsASystemCallFailure) {
    Script s;
    ConnectBelpic(OpenWith(s, kCcid), kCcid)
        .Control(CM_IOCTL_GET_FEATURE_REQUEST, "", "", SCARD_E_UNSUPPORTED_FEATURE)
        .Disconnect()
        .Release();
    PcscMock::Install(s);
    auto reader = OpenReader(kCcid);
    // The code of "feature not supported" is the platform's (0x8010001F in pcsc-lite, 0x80100022 in winscard).
    char expected[96];
    std::snprintf(expected, sizeof expected, "Error verifying PIN; error calling SCardControl (0x%08lx) (0x0)",
                  static_cast<unsigned long>(SCARD_E_UNSUPPORTED_FEATURE));
    EXPECT_STREQ(Raised([&] { reader->VerifyPin(Utils::Secret::copy_of("")); }).what(), expected);
}

TEST_F(Card, BypassSendsNothingButStillCallsTheListener) {
    Script s;
    ConnectBelpic(OpenWith(s, kBypass), kBypass).Disconnect().Release();
    PcscMock::Install(s);
    auto reader = OpenReader(kBypass);
    ListenerLog log;
    reader->SetPinPadListener(log.listener());
    EXPECT_TRUE(reader->VerifyPin(Utils::Secret::copy_of("")));
    EXPECT_EQ(log.calls, (std::vector<bool>{true, false}));
    reader->SetPinPadListener({});
    EXPECT_TRUE(reader->VerifyPin(Utils::Secret::copy_of("")));
    EXPECT_EQ(log.calls.size(), 2u);
}

TEST_F(Card, SignSetsTheEnvironmentVerifiesThenSigns) {
    Script s;
    ConnectBelpic(OpenWith(s, kPlain), kPlain)
        .Begin()
        .Transmit("00 22 41 B6 05 04 80 01 84 82", "90 00")
        .Transmit(kVerify1234, "90 00")
        .Transmit("00 2A 9E 9A 03 AA BB CC", "61 04")
        .Transmit("00 C0 00 00 04", "01 02 03 04 90 00")
        .End()
        .Begin()
        .Transmit("00 22 41 B6 05 04 80 01 84 83", "90 00")
        .Transmit(kVerify1234, "90 00")
        .Transmit("00 2A 9E 9A 01 AA", "61 00")
        .Transmit("00 C0 00 00 00", "05 90 00")
        .End()
        .Disconnect()
        .Release();
    PcscMock::Install(s);
    auto reader = OpenReader(kPlain);
    ListenerLog log;
    reader->SetPinPadListener(log.listener());
    EXPECT_EQ(reader->Sign(Utils::Secret::copy_of("1234"), "__authentication__", Hex("AA BB CC")), Hex("01 02 03 04"));
    EXPECT_EQ(reader->Sign(Utils::Secret::copy_of("1234"), "__signature__", Hex("AA")), Hex("05"));
    EXPECT_EQ(log.calls, (std::vector<bool>{true, false, true, false}));
}

// A command header followed by Lc and data.
PcscMock::Bytes WithData(const std::string& header, const PcscMock::Bytes& data) {
    PcscMock::Bytes command = Hex(header);
    command.push_back(static_cast<uint8_t>(data.size()));
    command.insert(command.end(), data.begin(), data.end());
    return command;
}

TEST_F(Card, Beid18ChoosesTheAlgorithmFromTheDataLength) {
    const PcscMock::Bytes data48(48, 0x11), data20(20, 0x22);
    Script s;
    ConnectBelpic(OpenWith(s, kBypass), kBypass)
        .Begin()
        .Transmit("00 22 41 B6 05 04 80 02 84 83", "90 00")
        .TransmitBytes(WithData("00 2A 9E 9A", data48), Hex("01 90 00"))
        .End()
        .Begin()
        .Transmit("00 22 41 B6 05 04 80 40 84 82", "90 00")
        .TransmitBytes(WithData("00 2A 9E 9A", data20), Hex("02 90 00"))
        .End()
        .Begin()
        .Transmit("00 22 41 B6 05 04 80 01 84 82", "90 00")
        .TransmitBytes(WithData("00 2A 9E 9A", data20), Hex("03 90 00"))
        .End()
        .Disconnect()
        .Release();
    PcscMock::Install(s);
    auto reader = OpenReader(kBypass);
    EXPECT_EQ(reader->SignBeid18(Utils::Secret::copy_of(""), "__signature__", data48, true), Hex("01"));
    EXPECT_EQ(reader->SignBeid18(Utils::Secret::copy_of(""), "other", data20, true), Hex("02"));
    EXPECT_EQ(reader->SignBeid18(Utils::Secret::copy_of(""), "__authentication__", data20, false), Hex("03"));
}

TEST_F(Card, SignFailuresKeepTheirKind) {
    Script s;
    ConnectBelpic(OpenWith(s, kPlain), kPlain)
        .Begin()
        .Transmit("00 22 41 B6 05 04 80 01 84 83", "6A 88")
        .End()
        .Begin()
        .Transmit("00 22 41 B6 05 04 80 01 84 83", "90 00")
        .Transmit(kVerify1234, "63 C1")
        .End()
        .Begin()
        .Transmit("00 22 41 B6 05 04 80 01 84 83", "90 00")
        .Transmit(kVerify1234, "90 00")
        .Transmit("00 2A 9E 9A 01 AA", "69 82")
        .End()
        .Begin()
        .Transmit("00 22 41 B6 05 04 80 01 84 83", "90 00")
        .Transmit(kVerify1234, "90 00")
        .Transmit("00 2A 9E 9A 01 AA", "", SCARD_W_REMOVED_CARD)
        .End()
        .Disconnect()
        .Release();
    PcscMock::Install(s);
    auto reader = OpenReader(kPlain);
    try {
        reader->Sign(Utils::Secret::copy_of("1234"), "__signature__", Hex("AA"));
        ADD_FAILURE() << "no exception";
    } catch (const CommBase::CommException&) {
        ADD_FAILURE() << "a refused environment is not a PIN outcome";
    } catch (const Utils::api_exception& e) {
        EXPECT_STREQ(e.what(), "Error setting security environment; error SW (0x6a88) (0x2241b6)");
    }

    try {
        reader->Sign(Utils::Secret::copy_of("1234"), "__signature__", Hex("AA"));
        ADD_FAILURE() << "no exception";
    } catch (const CommBase::CommException& e) {
        EXPECT_EQ(e.code(), 6);
        EXPECT_EQ(e.message(), "Error verifying PIN; invalid pin; remaining 1");
    }
    for (auto [code, value, text] :
         {std::tuple{1, 0x6982, "Error computing digital signature; error SW (0x1) (0x6982)"},
          std::tuple{1, static_cast<int>(0x80100069),
                     "Error computing digital signature; error calling SCardTransmit (0x1) "
                     "(0x80100069)"}}) {
        try {
            reader->Sign(Utils::Secret::copy_of("1234"), "__signature__", Hex("AA"));
            ADD_FAILURE() << "no exception";
        } catch (const CommBase::CommException& e) {
            EXPECT_EQ(e.code(), code);
            EXPECT_EQ(e.value(), value);
            EXPECT_STREQ(e.what(), text);
        }
    }
}

TEST_F(Card, PkcsApplicationCommands) {
    Script s;
    OpenWith(s, kPlain)
        .Connect(kPlain, 3, SCARD_S_SUCCESS, SCARD_PROTOCOL_T1)
        .Transmit("00 A4 04 0C 0C A0 00 00 00 63 50 4B 43 53 2D 31 35", "90 00")
        .Transmit("00 B2 03 04 00", "AB 90 00")
        .Transmit("00 B2 02 FC 00", "CD 90 00")
        .Disconnect()
        .Release();
    PcscMock::Install(s);
    auto reader = OpenReader(kPlain);
    reader->Connect();
    EXPECT_TRUE(reader->SelectPkcs15Application().empty());
    EXPECT_EQ(reader->ReadRecordInCurrentFile(3), Hex("AB"));
    EXPECT_EQ(reader->ReadRecord(2, 31), Hex("CD"));
}

std::string Repeat(const char* byteHex, size_t count) {
    std::string s;
    for (size_t i = 0; i < count; ++i) s += std::string(byteHex) + " ";
    return s;
}

TEST_F(Card, SignChallengeBuildsTheRequestAndSplitsTheAnswer) {
    const std::string extra = Repeat("EE", 32);
    const std::string signature = Repeat("5A", 128);
    Script s;
    OpenWith(s, kEscape)
        .Connect(kEscape, 3, SCARD_S_SUCCESS, SCARD_PROTOCOL_T1)
        .Transmit("F1 95 F7 FE 00", "81 01 00 8A 01 C3 90 00")
        .Transmit("F1 95 F7 C3 0B 99 04 00 01 23 45 5F 2D 02 65 6E", "61 80")
        .Transmit("00 C0 00 00 80", signature + "90 00")
        .Transmit("F1 95 F7 FE 00", "8A 01 C4 90 00")
        .Transmit("F1 95 F7 C4 2D 99 04 99 99 99 99 98 20 " + extra + "5F 2D 02 6E 6C",
                  "01 02 AA BB 02 01 CC " + signature + "90 00")
        .Disconnect()
        .Release();
    PcscMock::Install(s);
    auto reader = OpenReader(kEscape);
    reader->Connect();
    auto bare = reader->SignChallenge(12345, {}, "en");
    EXPECT_TRUE(bare.data.empty());
    EXPECT_EQ(bare.signature.size(), 128u);
    EXPECT_FALSE(bare.wellFormed);
    auto full = reader->SignChallenge(99999999, Hex(extra), "nl");
    EXPECT_EQ(full.data, Hex("01 02 AA BB 02 01 CC"));
    EXPECT_EQ(full.signature, Hex(signature));
    EXPECT_TRUE(full.wellFormed);
}

TEST_F(Card, SignChallengeFailures) {
    Script s;
    OpenWith(s, kEscape)
        .Connect(kEscape, 3, SCARD_S_SUCCESS, SCARD_PROTOCOL_T1)
        .Transmit("F1 95 F7 FE 00", "8A 02 C3 00 90 00")
        .Transmit("F1 95 F7 FE 00", "81 01 00 8A 01 90 00")
        .Transmit("F1 95 F7 FE 00", "8A 01 C3 90 00")
        .Transmit("F1 95 F7 C3 09 99 04 00 00 00 01 5F 2D 00", "01 02 90 00")
        .Transmit("F1 95 F7 FE 00", "6D 00")
        .Disconnect()
        .Release();
    PcscMock::Install(s);
    auto reader = OpenReader(kEscape);
    reader->Connect();
    EXPECT_STREQ(Raised([&] { reader->SignChallenge(1, {}, ""); }).what(),
                 "Failed to determine sign challenge features (0x0) (0x0)");
    EXPECT_EQ(Raised([&] { reader->SignChallenge(1, {}, ""); }).message(),
              "Failed to determine sign challenge features");
    EXPECT_EQ(Raised([&] { reader->SignChallenge(1, {}, ""); }).message(), "Invalid response format");
    EXPECT_STREQ(Raised([&] { reader->SignChallenge(1, {}, ""); }).what(),
                 "Error computing sign challenge; error SW (0x6d00) (0xf195f7fe)");
    EXPECT_EQ(Raised([&] { reader->SignChallenge(100000000, {}, ""); }).message(),
              "Error computing sign challenge; challenge out of range");
    EXPECT_EQ(Raised([&] { reader->SignChallenge(1, Hex("01 02"), ""); }).message(),
              "Error computing sign challenge; invalid challenge data");
}

}  // namespace
