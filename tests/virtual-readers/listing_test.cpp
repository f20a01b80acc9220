// Listing, card presence and file reading through pcscd and the virtual readers.
#include <winscard.h>

#include <chrono>

#include "test_bed.h"

using namespace TestBed;

namespace {

const std::string kSignatureCertPath("\x3F\x00\xDF\x00\x50\x39", 6);
const Bytes kClassicAtr = {0x3B, 0x98, 0x13, 0x40, 0x0A, 0xA5, 0x03, 0x01, 0x01, 0x01, 0xAD, 0x13, 0x11};
const Bytes kBeid18Atr = {0x3B, 0x7F, 0x96, 0x00, 0x00, 0x80, 0x31, 0x80, 0x65, 0xB0,
                          0x85, 0x04, 0x01, 0x20, 0x12, 0x0F, 0xFF, 0x82, 0x90, 0x00};

class Listing : public CardTest {};
class Presence : public CardTest {};
class Files : public CardTest {};

TEST_F(Listing, WithoutServiceWithoutReadersAndWithReaders) {
    ASSERT_EQ(Script("stop"), 0);
    SZidaZaru::SCardFactory factory;
    try {
        factory.OpenLibrary("");
        ADD_FAILURE() << "opened a library without pcscd";
    } catch (const Utils::api_exception& e) {
        EXPECT_STREQ(e.what(), "error calling SCardEstablishContext (0x8010001d) (0x0)");
    }

    ASSERT_EQ(Script("start --empty"), 0);
    {
        auto library = factory.OpenLibrary("");
        EXPECT_TRUE(library->ListReaders().empty());
        EXPECT_EQ(library->GetReader(kPlain), nullptr);
    }
    ASSERT_EQ(Script("stop"), 0);

    ASSERT_EQ(Script("start --no-card"), 0);
    auto library = factory.OpenLibrary("");
    const std::vector<std::string> expected = {"Veldra Virtual Reader 00 00",
                                               "Veldra Virtual Reader 00 01",
                                               "VASCO DIGIPASS 870 00 00",
                                               "VASCO DIGIPASS 870 00 01",
                                               "BOSA BEIDX 00 00",
                                               "BOSA BEIDX 00 01",
                                               "APG8201 00 00"};
    auto listed = library->ListReaders();
    std::sort(listed.begin(), listed.end());
    auto sorted = expected;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(listed, sorted);
    EXPECT_EQ(library->GetReader("veldra virtual reader 00 00"), nullptr);
    EXPECT_FALSE(library->GetReader(kPlain)->IsPinPadReader());
    EXPECT_TRUE(library->GetReader(kEscape)->IsPinPadReader());
    EXPECT_TRUE(library->GetReader(kBypass)->IsPinPadReader());
    EXPECT_TRUE(library->GetReader(kCcid)->IsPinPadReader());
}

TEST_F(Presence, EmptyReaderThenInsertedCardThenRemoval) {
    auto empty = OpenReader(kPlain);
    ASSERT_NE(empty, nullptr);
    EXPECT_FALSE(empty->IsCardPresent());
    EXPECT_EQ(empty->GetCardType(), 0);
    EXPECT_TRUE(empty->GetAtr().empty());

    Insert("plain");
    EXPECT_TRUE(empty->IsCardPresent());  // nothing was cached while the reader was empty
    auto reader = OpenReader(kPlain);
    EXPECT_TRUE(reader->IsCardPresent());
    EXPECT_EQ(reader->GetAtr(), kClassicAtr);
    EXPECT_EQ(reader->GetCardType(), 1);

    Remove("plain");
    EXPECT_TRUE(reader->IsCardPresent());  // cached from the first sight of the card
    EXPECT_FALSE(OpenReader(kPlain)->IsCardPresent());
    try {
        reader->ReadFile(kSignatureCertPath);
        ADD_FAILURE() << "read from a removed card";
    } catch (const Utils::api_exception& e) {
        EXPECT_EQ(e.message(), "error calling SCardBeginTransaction");
        EXPECT_EQ(static_cast<uint32_t>(e.code()), 0x80100069u);
    }
}

TEST_F(Presence, CardPulledOutMidReadEndsInAnError) {
    // The card closes its connection instead of answering its 4th command: the probe takes 2
    // (SELECT, READ BINARY of the token information's head), the SELECT of the photo 1, so the
    // first READ BINARY of the photo gets no answer.
    Insert("plain", "--drop-on 4");
    auto reader = OpenReader(kPlain);
    ASSERT_EQ(reader->GetCardType(), 1);
    const auto started = std::chrono::steady_clock::now();
    EXPECT_THROW(reader->ReadFile(std::string("\x3F\x00\xDF\x01\x40\x35", 6)), Utils::api_exception);
    EXPECT_THROW(reader->ReadFile(kSignatureCertPath), Utils::api_exception);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(20));
}

TEST_F(Presence, CardPulledOutMidReadIsTheRemovalError) {
    // As a real reader reports it: the command in flight and the ones after it fail with the
    // removal codes, never as an answer without a status word.
    Insert("ccid", "--drop-on 4");  // the first READ BINARY of the photo, as above
    auto reader = OpenReader(kCcid);
    ASSERT_EQ(reader->GetCardType(), 1);
    const auto removal = [](const Utils::api_exception& e) {
        const uint32_t code = static_cast<uint32_t>(e.code());
        return code == SCARD_W_REMOVED_CARD || code == SCARD_E_NO_SMARTCARD;
    };
    try {
        reader->ReadFile(std::string("\x3F\x00\xDF\x01\x40\x35", 6));
        ADD_FAILURE() << "read from a pulled card";
    } catch (const Utils::api_exception& e) {
        EXPECT_EQ(e.message(), "error calling SCardTransmit");
        EXPECT_TRUE(removal(e)) << e.what();
    }
    try {
        reader->ReadFile(kSignatureCertPath);
        ADD_FAILURE() << "read from a pulled card";
    } catch (const Utils::api_exception& e) {
        EXPECT_TRUE(removal(e)) << e.what();
    }
}

TEST_F(Presence, CardPulledOutMidSignatureEndsInAnError) {
    // Probe 2 commands, then MSE SET, VERIFY, and the PSO gets no answer.
    Insert("plain", "--drop-on 5");
    auto reader = OpenReader(kPlain);
    try {
        reader->Sign(Utils::Secret::copy_of("1234"), "__signature__", Bytes(51, 0x30));
        ADD_FAILURE() << "signed on a pulled card";
    } catch (const CommBase::CommException& e) {
        EXPECT_EQ(e.code(), 1);
        EXPECT_EQ(e.message(), "Error computing digital signature; error SW");
    }
    EXPECT_THROW(reader->Sign(Utils::Secret::copy_of("1234"), "__signature__", Bytes(51, 0x30)), Utils::api_exception);
}

TEST_F(Presence, Generation18CardAndOtherCard) {
    Insert("plain", "--generation 1.8");
    auto reader = OpenReader(kPlain);
    EXPECT_EQ(reader->GetAtr(), kBeid18Atr);
    EXPECT_EQ(reader->GetCardType(), 1);
    Remove("plain");

    Insert("bypass", "--atr 3B8F8001804F0CA000000306030001000000006A");
    EXPECT_EQ(OpenReader(kBypass)->GetAtr().size(), 20u);
}

TEST_F(Files, EveryCardFileReadsWholeInChunks) {
    Insert("plain");  // a T=0 card: 6Cxx for an Le beyond the end of the file
    auto library = SZidaZaru::SCardFactory().OpenLibrary("");
    auto reader = std::dynamic_pointer_cast<SZidaZaru::ISCardReader>(library->GetReader(kPlain));
    ASSERT_EQ(reader->GetCardType(), 1);

    const Bytes signature = reader->ReadFile(library->GetFilePath(2, 1));
    EXPECT_GT(signature.size(), 1024u);
    EXPECT_EQ(signature, CertificateDer("plain", "signature"));
    EXPECT_EQ(reader->ReadFile(library->GetFilePath(3, 1)), CertificateDer("plain", "authentication"));
    EXPECT_EQ(reader->ReadFile(library->GetFilePath(4, 1)), CertificateDer("plain", "intermediate"));
    EXPECT_EQ(reader->ReadFile(library->GetFilePath(5, 1)), CertificateDer("plain", "root"));
    const Bytes identity = reader->ReadFile(library->GetFilePath(6, 1));
    EXPECT_EQ(identity[0], 0x01);
    EXPECT_EQ(reader->ReadFile(library->GetFilePath(7, 1)).size(), 117u);
    const Bytes photo = reader->ReadFile(library->GetFilePath(8, 1));
    ASSERT_EQ(photo.size(), 3064u);
    EXPECT_EQ(photo[0], 0xFF);
    EXPECT_EQ(photo[1], 0xD8);

    // One SELECT and one READ BINARY per started 256 bytes: the photo in 12 chunks, the last one
    // asked again with the length the card names.
    const std::string log = CardLog("plain");
    EXPECT_NE(log.find("C 00B00B00 Le=256 -> 6CF8 (0 bytes)\nC 00B00B00 Le=248 -> 9000 (248 bytes)"), std::string::npos)
        << log;
}

TEST_F(Files, EveryShortReadAnswerEndsTheReadWithTheWholeFile) {
    const std::string twoChunks("\x3F\x00\xDF\x01\x40\x40", 6);
    Bytes expected(512);
    for (size_t i = 0; i < expected.size(); ++i) expected[i] = static_cast<uint8_t>(i * 7);
    for (const char* behaviour : {"6c", "6282", "9000"}) {
        SCOPED_TRACE(behaviour);
        Insert("plain", std::string("--short-read ") + behaviour);
        auto library = SZidaZaru::SCardFactory().OpenLibrary("");
        auto reader = std::dynamic_pointer_cast<SZidaZaru::ISCardReader>(library->GetReader(kPlain));
        ASSERT_EQ(reader->GetCardType(), 1);
        EXPECT_EQ(reader->ReadFile(library->GetFilePath(2, 1)), CertificateDer("plain", "signature"));
        EXPECT_EQ(reader->ReadFile(library->GetFilePath(3, 1)), CertificateDer("plain", "authentication"));
        EXPECT_EQ(reader->ReadFile(library->GetFilePath(4, 1)), CertificateDer("plain", "intermediate"));
        EXPECT_EQ(reader->ReadFile(library->GetFilePath(5, 1)), CertificateDer("plain", "root"));
        EXPECT_EQ(reader->ReadFile(library->GetFilePath(6, 1)).size(), 165u);
        EXPECT_EQ(reader->ReadFile(library->GetFilePath(7, 1)).size(), 117u);
        EXPECT_EQ(reader->ReadFile(library->GetFilePath(8, 1)).size(), 3064u);
        EXPECT_EQ(reader->ReadFile(twoChunks), expected);  // ended by 6B00 at offset 512
        Remove("plain");
    }
}

TEST_F(Files, MissingFileAndUnconnectedReader) {
    Insert("plain");
    auto reader = OpenReader(kPlain);
    try {
        reader->ReadFile(kSignatureCertPath);
        ADD_FAILURE() << "read without a connection";
    } catch (const Utils::api_exception& e) {
        EXPECT_EQ(e.message(), "error calling SCardBeginTransaction");
    }
    reader->Connect();
    try {
        reader->ReadFile(std::string("\x3F\x00\xDF\x00\x50\x99", 6));
        ADD_FAILURE() << "read a missing file";
    } catch (const Utils::api_exception& e) {
        EXPECT_STREQ(e.what(), "error SW (0x6a82) (0xa4080c)");
    }
}

}  // namespace
