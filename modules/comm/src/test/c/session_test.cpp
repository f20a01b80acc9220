// The reader session: connect, presence and ATR, transmit, and the exchange's status-word
// handling, seen through the operations that use them.
#include <cstdio>

#include "comm_test_support.h"

using namespace CommTest;

namespace {

const std::string kReader = "Reader A 00 00";
const std::string kSelectProbe = "00 A4 08 0C 06 3F 00 DF 00 50 32";

class Session : public ScriptedTest {};

std::string Chunk(size_t length, uint8_t fill, const std::string& sw = "90 00") {
    std::string hex;
    for (size_t i = 0; i < length; ++i) {
        char b[4];
        std::snprintf(b, sizeof b, "%02X", static_cast<uint8_t>(fill + i));
        hex += b;
    }
    return hex + sw;
}

TEST_F(Session, ProtocolMismatchFallsBackToT0AndAConnectedReaderConnectsOnce) {
    Script s;
    OpenWith(s, kReader)
        .Connect(kReader, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, SCARD_E_PROTO_MISMATCH, 0)
        .Connect(kReader, SCARD_PROTOCOL_T0, SCARD_S_SUCCESS, SCARD_PROTOCOL_T0)
        .Transmit("00 A4 02 0C 02 50 38", "90 00")
        .WithPci(SCARD_PROTOCOL_T0)
        .Disconnect()
        .Release();
    PcscMock::Install(s);
    auto reader = OpenReader(kReader);
    reader->Connect();
    reader->Connect();
    EXPECT_TRUE(reader->SelectFile(Hex("50 38")).empty());
}

TEST_F(Session, ConnectFailureNamesTheCallAndTheResult) {
    Script s;
    OpenWith(s, kReader).Connect(kReader, 3, SCARD_E_NO_SMARTCARD, 0).Release();
    PcscMock::Install(s);
    auto reader = OpenReader(kReader);
    auto e = Raised([&] { reader->Connect(); });
    EXPECT_STREQ(e.what(), "error calling SCardConnect (0x8010000c) (0x0)");
}

TEST_F(Session, UnknownProtocolRaisesAndClosesTheConnection) {
    Script s;
    OpenWith(s, kReader)
        .Connect(kReader, 3, SCARD_S_SUCCESS, SCARD_PROTOCOL_RAW)
        .Disconnect()
        .Connect(kReader, 3, SCARD_S_SUCCESS, SCARD_PROTOCOL_T1)
        .Disconnect()
        .Release();
    PcscMock::Install(s);
    auto reader = OpenReader(kReader);
    auto e = Raised([&] { reader->Connect(); });
    char expected[40];  // the platform's value of the raw protocol (4 in pcsc-lite, 0x10000 in winscard)
    std::snprintf(expected, sizeof expected, "unknown protocol 0x%lx", static_cast<unsigned long>(SCARD_PROTOCOL_RAW));
    EXPECT_EQ(e.message(), expected);
    EXPECT_EQ(e.code(), 0);
    reader->Connect();  // a new attempt, the first handle already released
}

TEST_F(Session, PresenceAndAtrAreReadUntilACardIsSeenThenCached) {
    const PcscMock::Bytes atr = Hex("3B 98 13 40 0A A5 03 01 01 01 AD 13 11");
    Script s;
    OpenWith(s, kReader)
        .Status(kReader, SCARD_STATE_EMPTY | SCARD_STATE_CHANGED, {})
        .Status(kReader, SCARD_STATE_PRESENT | SCARD_STATE_CHANGED | 0x10000, atr)
        .Release();
    PcscMock::Install(s);
    auto reader = OpenReader(kReader);
    EXPECT_FALSE(reader->IsCardPresent());
    EXPECT_TRUE(reader->IsCardPresent());
    EXPECT_EQ(reader->GetAtr(), atr);  // cached: no further status call
    EXPECT_TRUE(reader->IsCardPresent());
}

TEST_F(Session, StatusFailureGivesFalseAndEmptyAtr) {
    Script s;
    OpenWith(s, kReader)
        .Status(kReader, 0, {}, SCARD_E_UNKNOWN_READER)
        .Status(kReader, 0, {}, SCARD_E_NO_SERVICE)
        .Release();
    PcscMock::Install(s);
    auto reader = OpenReader(kReader);
    EXPECT_FALSE(reader->IsCardPresent());
    EXPECT_TRUE(reader->GetAtr().empty());
}

TEST_F(Session, AtrIsCutTo32Bytes) {
    PcscMock::Bytes atr(33);
    for (size_t i = 0; i < atr.size(); ++i) atr[i] = static_cast<uint8_t>(i);
    Script s;
    OpenWith(s, kReader).Status(kReader, SCARD_STATE_PRESENT, atr).Release();
    PcscMock::Install(s);
    auto reader = OpenReader(kReader);
    EXPECT_EQ(reader->GetAtr(), PcscMock::Bytes(atr.begin(), atr.begin() + 32));
}

TEST_F(Session, FileReadInChunksUntilAShortOne) {
    Script s;
    ConnectBelpic(OpenWith(s, kReader), kReader)
        .Begin()
        .Transmit("00 A4 08 0C 06 3F 00 DF 00 50 39", "90 00")
        .Transmit("00 B0 00 00 00", Chunk(256, 0))
        .Transmit("00 B0 01 00 00", Chunk(256, 0x10))
        .Transmit("00 B0 02 00 00", Chunk(88, 0x20))
        .End()
        .Disconnect()
        .Release();
    PcscMock::Install(s);
    auto reader = OpenReader(kReader);
    ASSERT_EQ(reader->GetCardType(), 1);
    auto file = reader->ReadFile(std::string("\x3F\x00\xDF\x00\x50\x39", 6));
    ASSERT_EQ(file.size(), 600u);
    EXPECT_EQ(file[256], 0x10);
    EXPECT_EQ(file[599], static_cast<uint8_t>(0x20 + 87));
}

TEST_F(Session, FileOfWholeChunksEndsOnOffsetBeyondEndOrWrongLength) {
    for (const char* end : {"6B 00", "6C 00"}) {
        SCOPED_TRACE(end);
        Script s;
        ConnectBelpic(OpenWith(s, kReader), kReader)
            .Begin()
            .Transmit("00 A4 08 0C 06 3F 00 DF 00 50 38", "90 00")
            .Transmit("00 B0 00 00 00", Chunk(256, 0))
            .Transmit("00 B0 01 00 00", Chunk(256, 0))
            .Transmit("00 B0 02 00 00", end)
            .End()
            .Disconnect()
            .Release();
        PcscMock::Install(s);
        auto reader = OpenReader(kReader);
        reader->GetCardType();
        EXPECT_EQ(reader->ReadFile(std::string("\x3F\x00\xDF\x00\x50\x38", 6)).size(), 512u);
        reader.reset();
        PcscMock::VerifyAllConsumed();
    }
}

TEST_F(Session, MissingFileIsAStatusWordFailureWithTheSelectWordAndEndsTheTransaction) {
    Script s;
    ConnectBelpic(OpenWith(s, kReader), kReader)
        .Begin()
        .Transmit("00 A4 08 0C 02 50 99", "6A 82")
        .End()
        .Begin()
        .Transmit("00 A4 08 0C", "6A 86")
        .End()
        .Disconnect()
        .Release();
    PcscMock::Install(s);
    auto reader = OpenReader(kReader);
    reader->GetCardType();
    EXPECT_STREQ(Raised([&] { reader->ReadFile("\x50\x99"); }).what(), "error SW (0x6a82) (0xa4080c)");
    EXPECT_STREQ(Raised([&] { reader->ReadFile(""); }).what(), "error SW (0x6a86) (0xa4080c)");
}

TEST_F(Session, ReadFileOnAnUnconnectedReaderCannotBeginTheTransaction) {
    Script s;
    OpenWith(s, kReader).Begin(SCARD_E_INVALID_HANDLE, 0).Release();
    PcscMock::Install(s);
    auto reader = OpenReader(kReader);
    EXPECT_EQ(Raised([&] { reader->ReadFile("\x50\x38"); }).message(), "error calling SCardBeginTransaction");
}

TEST_F(Session, CardPulledMidReadEndsInAnErrorEveryWay) {
    // pcscd reports a card that vanished during an APDU as an empty answer, then as
    // "transaction failed" or "card removed".
    struct Case {
        const char* answer;
        LONG result;
        const char* what;
    } cases[] = {
        {"", SCARD_S_SUCCESS, "error SW (0x0) (0xb00100)"},
        {"", SCARD_E_NOT_TRANSACTED, "error calling SCardTransmit (0x80100016) (0x0)"},
        {"", SCARD_W_REMOVED_CARD, "error calling SCardTransmit (0x80100069) (0x0)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Script s;
        ConnectBelpic(OpenWith(s, kReader), kReader)
            .Begin()
            .Transmit("00 A4 08 0C 06 3F 00 DF 00 50 38", "90 00")
            .Transmit("00 B0 00 00 00", Chunk(256, 0))
            .Transmit("00 B0 01 00 00", c.answer, c.result)
            .End()
            .Disconnect()
            .Release();
        PcscMock::Install(s);
        auto reader = OpenReader(kReader);
        reader->GetCardType();
        EXPECT_STREQ(Raised([&] { reader->ReadFile(std::string("\x3F\x00\xDF\x00\x50\x38", 6)); }).what(), c.what);
        reader.reset();
        PcscMock::VerifyAllConsumed();
    }
}

TEST_F(Session, ResponseChainingFetchesWithGetResponse) {
    Script s;
    OpenWith(s, kReader)
        .Connect(kReader, 3, SCARD_S_SUCCESS, SCARD_PROTOCOL_T0)
        .Transmit("00 A4 04 00 07 A0 00 00 00 04 30 60", "6F 02 61 10")
        .Transmit("00 C0 00 00 10", Chunk(16, 0xA0, "61 00"))
        .Transmit("00 C0 00 00 00", Chunk(3, 0xB0))
        .Disconnect()
        .Release();
    PcscMock::Install(s);
    auto reader = OpenReader(kReader);
    reader->Connect();
    auto answer = reader->SelectEmvApplication();
    ASSERT_EQ(answer.size(), 2u + 16u + 3u);
    EXPECT_EQ(answer[0], 0x6F);
    EXPECT_EQ(answer[2], 0xA0);
    EXPECT_EQ(answer[20], 0xB2);
}

TEST_F(Session, WrongLengthRepeatsTheCommandWithTheCardsLength) {
    Script s;
    OpenWith(s, kReader)
        .Connect(kReader, 3, SCARD_S_SUCCESS, SCARD_PROTOCOL_T1)
        .Transmit("00 B2 01 0C 00", "6C 1D")
        .Transmit("00 B2 01 0C 1D", Chunk(0x1D, 0))
        .Disconnect()
        .Release();
    PcscMock::Install(s);
    auto reader = OpenReader(kReader);
    reader->Connect();
    EXPECT_EQ(reader->ReadRecord(1, 1).size(), 0x1Du);
}

TEST_F(Session, ACardThatNeverStopsChainingEndsInAnError) {
    Script s;
    OpenWith(s, kReader).Connect(kReader, 3, SCARD_S_SUCCESS, SCARD_PROTOCOL_T1);
    s.Transmit("00 B2 01 04 00", "6C 10");
    for (int i = 0; i < 159; ++i) s.Transmit("00 B2 01 04 10", "6C 10");
    s.Disconnect().Release();
    PcscMock::Install(s);
    auto reader = OpenReader(kReader);
    reader->Connect();
    EXPECT_STREQ(Raised([&] { reader->ReadRecordInCurrentFile(1); }).what(), "error SW (0x6c10) (0xb20104)");
}

TEST_F(Session, OtherStatusWordsDiscardCollectedData) {
    Script s;
    OpenWith(s, kReader)
        .Connect(kReader, 3, SCARD_S_SUCCESS, SCARD_PROTOCOL_T1)
        .Transmit("80 A8 00 00 02 83 00", "01 02 61 05")
        .Transmit("00 C0 00 00 05", "62 82")
        .Transmit("00 A4 02 0C 02 2F 00", "01")
        .Disconnect()
        .Release();
    PcscMock::Install(s);
    auto reader = OpenReader(kReader);
    reader->Connect();
    EXPECT_STREQ(Raised([&] { reader->GetProcessingOptions(Hex("83 00")); }).what(), "error SW (0x6282) (0xc00000)");
    // A one-byte answer carries no status word.
    EXPECT_STREQ(Raised([&] { reader->SelectFile(Hex("2F 00")); }).what(), "error SW (0x0) (0xa4020c)");
}

}  // namespace
