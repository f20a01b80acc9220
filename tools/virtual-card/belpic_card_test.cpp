// The emulated card's answers, command by command, as the comm layer's tests rely on them.
#include <gtest/gtest.h>

#include "belpic_card.h"

using namespace VirtualCard;

namespace {

Bytes Hex(const std::string& text) {
    Bytes out;
    int high = -1;
    for (char c : text) {
        int v;
        if (c >= '0' && c <= '9') v = c - '0';
        else if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
        else continue;
        if (high < 0) high = v;
        else {
            out.push_back(static_cast<uint8_t>(high << 4 | v));
            high = -1;
        }
    }
    return out;
}

uint16_t Sw(const Bytes& r) { return static_cast<uint16_t>(r[r.size() - 2] << 8 | r.back()); }

BelpicCard MakeCard(Generation generation, bool escape = false, ShortRead shortRead = ShortRead::WrongLength) {
    CardOptions options;
    options.generation = generation;
    options.escapePinPad = escape;
    options.shortRead = shortRead;
    return BelpicCard(options, MakeCardKeys(generation, ""));
}

TEST(VirtualCardFiles, SelectByPathReadsToAShortChunkThenOffsetBeyondEnd) {
    BelpicCard card = MakeCard(Generation::V18);
    EXPECT_EQ(Sw(card.Process(Hex("00 B0 00 00 00"))), 0x6986);  // nothing selected
    EXPECT_EQ(Sw(card.Process(Hex("00 A4 08 0C 06 3F 00 DF 00 50 99"))), 0x6A82);
    ASSERT_EQ(Sw(card.Process(Hex("00 A4 08 0C 04 DF 01 40 35"))), 0x9000);  // the MF id may be left out
    const Bytes first = card.Process(Hex("00 B0 00 00 00"));
    EXPECT_EQ(first.size(), 258u);
    const Bytes last = card.Process(Hex("00 B0 0B 00 00"));
    EXPECT_EQ(last, Hex("6C F8"));  // a T=0 card names the bytes left instead of sending fewer
    EXPECT_EQ(card.Process(Hex("00 B0 0B 00 F8")).size(), 0xF8u + 2);
    EXPECT_EQ(Sw(card.Process(Hex("00 B0 0B F8 00"))), 0x6B00);
    EXPECT_EQ(Sw(card.Process(Hex("00 A4 02 0C 02 40 31"))), 0x9000);  // by id under the current directory
    card.Process(Hex("00 A4 08 0C 06 3F 00 DF 00 50 32"));
    const Bytes wrongLength = card.Process(Hex("00 B0 00 00 00"));
    ASSERT_EQ(wrongLength[0], 0x6C);
    const Bytes info = card.Process(Bytes{0x00, 0xB0, 0x00, 0x00, wrongLength[1]});
    EXPECT_NE(std::string(info.begin(), info.end()).find("BELPIC"), std::string::npos);
}

TEST(VirtualCardFiles, ShortReadAnswersAsConfigured) {
    for (const auto& [behaviour, sw] :
         {std::pair{ShortRead::EndOfFile, 0x6282}, std::pair{ShortRead::Lenient, 0x9000}}) {
        BelpicCard card = MakeCard(Generation::Classic, false, behaviour);
        ASSERT_EQ(Sw(card.Process(Hex("00 A4 08 0C 06 3F 00 DF 01 40 35"))), 0x9000);
        const Bytes last = card.Process(Hex("00 B0 0B 00 00"));
        EXPECT_EQ(last.size(), 0xF8u + 2);
        EXPECT_EQ(Sw(last), sw);
    }
    BelpicCard card = MakeCard(Generation::Classic);
    ASSERT_EQ(Sw(card.Process(Hex("00 A4 08 0C 06 3F 00 DF 01 40 40"))), 0x9000);
    EXPECT_EQ(card.Process(Hex("00 B0 01 00 00")).size(), 258u);
    EXPECT_EQ(Sw(card.Process(Hex("00 B0 02 00 00"))), 0x6B00);  // 512 bytes: the end on a chunk boundary
}

TEST(VirtualCardPin, TriesCountDownRestoreAndBlock) {
    BelpicCard card = MakeCard(Generation::V18);
    const Bytes wrong = Hex("00 20 00 01 08 24 11 11 FF FF FF FF FF");
    const Bytes right = Hex("00 20 00 01 08 24 12 34 FF FF FF FF FF");
    EXPECT_EQ(Sw(card.Process(wrong)), 0x63C2);
    EXPECT_EQ(Sw(card.Process(right)), 0x9000);
    EXPECT_EQ(Sw(card.Process(wrong)), 0x63C2);
    EXPECT_EQ(Sw(card.Process(wrong)), 0x63C1);
    EXPECT_EQ(Sw(card.Process(wrong)), 0x63C0);
    EXPECT_EQ(Sw(card.Process(right)), 0x6983);
    EXPECT_EQ(Sw(card.Process(Hex("00 20 00 01 08 24 1A 34 FF FF FF FF FF"))), 0x6A80);
    EXPECT_EQ(card.LastLogLine().find("1A34"), std::string::npos);
}

TEST(VirtualCardPin, EscapeCommandOnlyWhenActingAsThePinPadReader) {
    const Bytes escape =
        Hex("F1 95 F7 C1 1B 00 89 47 04 0C 04 02 01 04 09 00 00 00 00 00 20 00 01 08 20 FF FF FF FF FF FF FF");
    BelpicCard plain = MakeCard(Generation::V18);
    EXPECT_EQ(Sw(plain.Process(escape)), 0x6E00);
    BelpicCard pinpad = MakeCard(Generation::V18, true);
    EXPECT_EQ(Sw(pinpad.Process(escape)), 0x9000);
}

TEST(VirtualCardSignature, EnvironmentPinThenChainedAnswer) {
    BelpicCard card = MakeCard(Generation::Classic);
    const Bytes pso = [] {
        Bytes c = Hex("00 2A 9E 9A 33");
        c.resize(c.size() + 51, 0x30);
        return c;
    }();
    EXPECT_EQ(Sw(card.Process(pso)), 0x6985);                                   // no environment
    EXPECT_EQ(Sw(card.Process(Hex("00 22 41 B6 05 04 80 01 84 81"))), 0x6A88);  // no such key
    EXPECT_EQ(Sw(card.Process(Hex("00 22 41 B6 05 04 80 02 84 83"))), 0x6A80);  // not an RSA algorithm
    EXPECT_EQ(Sw(card.Process(Hex("00 22 41 B6 05 04 80 01 84 83"))), 0x9000);
    EXPECT_EQ(Sw(card.Process(pso)), 0x6982);  // no PIN yet
    card.Process(Hex("00 20 00 01 08 24 12 34 FF FF FF FF FF"));
    EXPECT_EQ(Sw(card.Process(pso)), 0x6100);
    EXPECT_EQ(Sw(card.Process(Hex("00 C0 00 00 10"))), 0x61F0);  // part of it, the rest announced
    const Bytes rest = card.Process(Hex("00 C0 00 00 F0"));
    EXPECT_EQ(rest.size(), 0xF0u + 2);
    EXPECT_EQ(Sw(rest), 0x9000);
    EXPECT_EQ(Sw(card.Process(Hex("00 C0 00 00 00"))), 0x6985);  // nothing pending
    EXPECT_EQ(Sw(card.Process(pso)), 0x6982);                    // the signature key wants the PIN again
}

TEST(VirtualCardSignature, Beid18AlgorithmByteFixesTheHashLength) {
    BelpicCard card = MakeCard(Generation::V18);
    card.Process(Hex("00 20 00 01 08 24 12 34 FF FF FF FF FF"));
    EXPECT_EQ(Sw(card.Process(Hex("00 22 41 B6 05 04 80 02 84 82"))), 0x9000);
    Bytes pso32 = Hex("00 2A 9E 9A 20");
    pso32.resize(pso32.size() + 32, 0x01);
    EXPECT_EQ(Sw(card.Process(pso32)), 0x6A80);
    EXPECT_EQ(Sw(card.Process(Hex("00 22 41 B6 05 04 80 01 84 82"))), 0x9000);
    EXPECT_EQ(Sw(card.Process(pso32)), 0x6160);
    EXPECT_EQ(Sw(card.Process(Hex("00 C0 00 00 61"))), 0x6C60);  // more asked than there is
    EXPECT_EQ(card.Process(Hex("00 C0 00 00 60")).size(), 0x60u + 2);
}

}  // namespace
