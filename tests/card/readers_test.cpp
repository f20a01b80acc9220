// Listing readers, reading card files and the PIN-pad question through the real host and pcscd.
#include <cctype>

#include <openssl/x509.h>

#include "card_test_support.h"

using namespace cardtest;
using nlohmann::json;

namespace {

class Readers : public CardTest {};

json reader_entry(const json& list, const std::string& name) {
    for (const auto& r : list)
        if (r["name"] == name) return r;
    return json();
}

}  // namespace

TEST_F(Readers, GetReadersListsEveryReaderWithItsCardState) {
    insert("plain");
    insert("bypass", {"--generation", "1.8"});
    const Answer a = request({{"cmd", "GET_READERS"}});
    ASSERT_TRUE(a.json.contains("readerList")) << a.text;
    const json& list = a.json["readerList"];
    ASSERT_EQ(list.size(), 7u) << a.text;  // three vpcd readers of two slots each, and the CCID one
    for (size_t i = 0; i < list.size(); ++i) {
        EXPECT_EQ(list[i]["index"], i);
        EXPECT_EQ(list[i]["library"], "__zidazaru__");
        EXPECT_TRUE(list[i].contains("cardPresent") && list[i].contains("cardType"));
    }
    // Member order as a browser sees it.
    EXPECT_NE(a.text.find(R"({"index":)"), std::string::npos);
    EXPECT_NE(
        a.text.find(R"("name":")" + PLAIN + R"(","atr":"3B9813400AA503010101AD13","cardPresent":true,"cardType":1})"),
        std::string::npos)
        << a.text;
    // The 1.8 card is shown with the classic ATR (its first 12 bytes).
    EXPECT_EQ(reader_entry(list, BYPASS)["atr"], "3B9813400AA503010101AD13") << a.text;
    EXPECT_EQ(reader_entry(list, BYPASS)["cardType"], 1);
    const json empty = reader_entry(list, ESCAPE);
    EXPECT_EQ(empty["cardPresent"], false);
    EXPECT_EQ(empty["cardType"], 0);
    EXPECT_FALSE(empty.contains("atr"));
    EXPECT_EQ(reader_entry(list, PLAIN_SECOND_SLOT)["cardPresent"], false);
}

TEST_F(Readers, ReadFileReturnsTheCardFilesComplete) {
    insert("plain");
    const Answer identity = request({{"cmd", "READ_FILE"}, {"reader", PLAIN}, {"fileId", IDENTITY_FILE}});
    ASSERT_TRUE(identity.json.contains("data")) << identity.text;
    const std::vector<uint8_t> data = from_hex(identity.json["data"]);
    const std::string text(data.begin(), data.end());
    EXPECT_NE(text.find("Tester"), std::string::npos);
    EXPECT_EQ(data[0], 0x01);  // the identity file is a run of tag-length-value fields

    for (const auto& [file, pem] :
         {std::pair{SIGNATURE_CERT, "signature"}, std::pair{AUTHENTICATION_CERT, "authentication"}}) {
        // Lower-case file ids work as well.
        std::string lower = file;
        for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        const Answer a = request({{"cmd", "READ_FILE"}, {"reader", PLAIN}, {"label", pem}, {"fileId", lower}});
        ASSERT_TRUE(a.json.contains("data")) << a.text;
        const std::vector<uint8_t> der = from_hex(a.json["data"]);
        EXPECT_EQ(a.text, R"({"data":")" + to_hex(der) + R"("})");
        EXPECT_GT(der.size(), 256u);  // more than one READ BINARY
        EXPECT_EQ(der, card_certificate("plain", pem)) << pem;
        const unsigned char* p = der.data();
        X509* certificate = d2i_X509(nullptr, &p, static_cast<long>(der.size()));
        EXPECT_NE(certificate, nullptr);
        EXPECT_EQ(p, der.data() + der.size());
        X509_free(certificate);
    }
}

TEST_F(Readers, ReadFileReturnsTheOtherFilesToo) {
    insert("plain");
    for (const auto& [file, pem] : {std::pair{"3F00DF00503A", "intermediate"}, std::pair{"3F00DF00503B", "root"}}) {
        const Answer a = request({{"cmd", "READ_FILE"}, {"reader", PLAIN}, {"fileId", file}});
        EXPECT_EQ(from_hex(a.json.value("data", "")), card_certificate("plain", pem)) << file;
    }
    const Answer address = request({{"cmd", "READ_FILE"}, {"reader", PLAIN}, {"fileId", "3F00DF014033"}});
    const std::vector<uint8_t> addressBytes = from_hex(address.json.value("data", ""));
    EXPECT_EQ(addressBytes.size(), 117u);
    EXPECT_NE(std::string(addressBytes.begin(), addressBytes.end()).find("Teststraat"), std::string::npos);
    // The photo: 3064 bytes, twelve READ BINARY commands, the last one short.
    const Answer photo = request({{"cmd", "READ_FILE"}, {"reader", PLAIN}, {"fileId", "3F00DF014035"}});
    const std::vector<uint8_t> jpeg = from_hex(photo.json.value("data", ""));
    ASSERT_EQ(jpeg.size(), 3064u) << photo.text.substr(0, 200);
    EXPECT_EQ(jpeg[0], 0xFF);
    EXPECT_EQ(jpeg[1], 0xD8);
    EXPECT_EQ(jpeg[3062], 0xFF);
    EXPECT_EQ(jpeg[3063], 0xD9);
}

TEST_F(Readers, ReadFileIsCompleteWhateverTheCardAnswersAtTheEndOfAFile) {
    // 6Cxx (a T=0 card), the bytes left with 6282, or with 9000; and a file of exactly two chunks.
    for (const char* behaviour : {"6c", "6282", "9000"}) {
        insert("plain", {"--short-read", behaviour});
        const Answer photo = request({{"cmd", "READ_FILE"}, {"reader", PLAIN}, {"fileId", "3F00DF014035"}});
        EXPECT_EQ(from_hex(photo.json.value("data", "")).size(), 3064u)
            << behaviour << ": " << photo.text.substr(0, 200);
        const Answer certificate = request({{"cmd", "READ_FILE"}, {"reader", PLAIN}, {"fileId", "3F00DF005039"}});
        EXPECT_EQ(from_hex(certificate.json.value("data", "")), card_certificate("plain", "signature")) << behaviour;
        const Answer twoChunks = request({{"cmd", "READ_FILE"}, {"reader", PLAIN}, {"fileId", "3F00DF014040"}});
        EXPECT_EQ(from_hex(twoChunks.json.value("data", "")).size(), 512u) << behaviour << ": " << twoChunks.text;
        remove("plain");
    }
}

TEST_F(Readers, ReadFileFailures) {
    insert("plain");
    Answer a = request({{"cmd", "READ_FILE"}, {"reader", PLAIN}, {"fileId", "3F00DF0150FF"}});
    EXPECT_EQ(a.text, error_answer(5, 5, "Error reading file (Comm 0x6a82) (0xa4080c)"));
    a = request({{"cmd", "READ_FILE"}, {"reader", PLAIN}, {"fileId", std::string(66, 'A')}});
    EXPECT_EQ(a.code(), 3);
    EXPECT_EQ(a.message(), "Invalid file ID [" + std::string(66, 'A') + "]. Should be maximum 64 hex characters");
    a = request({{"cmd", "READ_FILE"}, {"reader", "No Such Reader"}, {"fileId", IDENTITY_FILE}});
    EXPECT_EQ(a.text, error_answer(0, 0, "Card reader [No Such Reader] not found"));
    a = request({{"cmd", "READ_FILE"}, {"reader", ESCAPE}, {"fileId", IDENTITY_FILE}});
    EXPECT_EQ(a.code(), 99) << a.text;
    EXPECT_EQ(a.message(), "error calling SCardConnect (0x8010000c) (0x0)");
    a = request({{"cmd", "READ_FILE"}, {"fileId", IDENTITY_FILE}});
    EXPECT_EQ(a.code(), 99);
    EXPECT_EQ(a.message(), "Message [{ cmd : READ_FILE , fileId : 3F00DF014031 }] misses a field named [reader]");
}

TEST_F(Readers, ACardPulledOutDuringAReadIsAnErrorAnswer) {
    // The photo takes 12 READ BINARY commands; the card goes away during the sixth command.
    for (const char* dropOn : {"2", "8"}) {
        insert("plain", {"--drop-on", dropOn});
        const Answer a = request({{"cmd", "READ_FILE"}, {"reader", PLAIN}, {"fileId", "3F00DF014035"}});
        EXPECT_TRUE(a.error()) << a.text;
        EXPECT_LT(a.run.elapsed.count(), 10000);
        if (a.error()) {
            const bool readError = a.code() == 5 && a.message().rfind("Error reading file (Comm ", 0) == 0;
            const bool connectError = a.code() == 99;
            EXPECT_TRUE(readError || connectError) << a.text;
        }
        remove("plain");
    }
}

TEST_F(Readers, PinPadAvailableNeedsNoCard) {
    EXPECT_EQ(request({{"cmd", "PIN_PAD_AVAILABLE"}, {"reader", PLAIN}}).text, R"({"available":false})");
    EXPECT_EQ(request({{"cmd", "PIN_PAD_AVAILABLE"}, {"reader", ESCAPE}}).text, R"({"available":true})");
    EXPECT_EQ(request({{"cmd", "PIN_PAD_AVAILABLE"}, {"reader", BYPASS}}).text, R"({"available":true})");
    EXPECT_EQ(request({{"cmd", "PIN_PAD_AVAILABLE"}, {"reader", "x"}}).text,
              error_answer(0, 0, "Card reader [x] not found"));
}

// Run without the virtual readers: the PC/SC client is pointed at a socket where no pcscd listens.
TEST(NoService, EveryCardCommandAnswersAndTheExitCodeStaysZero) {
    hosttest::TempDir home;
    hosttest::HostOptions options;
    options.env["PCSCLITE_CSOCK_NAME"] = home.path() + "/no-pcscd.comm";
    options.env["XDG_DATA_HOME"] = home.path();
    const auto ask = [&](const json& message) {
        const hosttest::HostRun run = hosttest::request(message.dump(), options);
        EXPECT_EQ(run.exit_code, 0);
        return run.answer().value_or("");
    };
    EXPECT_EQ(ask({{"cmd", "GET_READERS"}}), error_answer(2, 2, "Error getting readers (Comm 0x8010001d) (0)"));
    EXPECT_EQ(ask({{"cmd", "READ_FILE"}, {"reader", PLAIN}, {"fileId", IDENTITY_FILE}}),
              error_answer(99, 99, "error calling SCardEstablishContext (0x8010001d) (0x0)"));
    EXPECT_EQ(ask({{"cmd", "COMPUTE_SIGNATURE"}, {"reader", PLAIN}, {"hash", std::string(64, 'A')}, {"pin", "1234"}}),
              error_answer(99, 99, "error calling SCardEstablishContext (0x8010001d) (0x0)"));
}

// Run under "scripts/virtual-reader run --empty": pcscd without any reader.
TEST(NoReaders, AnEmptyListAndNoReaderFound) {
    hosttest::TempDir home;
    hosttest::HostOptions options;
    options.env["XDG_DATA_HOME"] = home.path();
    EXPECT_EQ(hosttest::request(R"({"cmd":"GET_READERS"})", options).answer(), R"({"readerList": []})");
    EXPECT_EQ(
        hosttest::request(json({{"cmd", "VERIFY_PIN"}, {"reader", PLAIN}, {"pin", "1234"}}).dump(), options).answer(),
        error_answer(0, 0, "Card reader [" + PLAIN + "] not found"));
}
