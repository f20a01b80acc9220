// The byte encodings every card command is built from.
#include <gtest/gtest.h>

#include "apdu.h"
#include "operation_context.h"
#include "pcsc_mock.h"
#include "scard_comm.h"

using PcscMock::Hex;
using namespace SZidaZaru::detail;

TEST(ApduEncoding, HeaderLcDataAndLe) {
    EXPECT_EQ(EncodeCommand(0x00A4080C, Hex("3F00DF005032"), 0), Hex("00 A4 08 0C 06 3F 00 DF 00 50 32"));
    EXPECT_EQ(EncodeCommand(0x00A4080C, {}, 0), Hex("00 A4 08 0C"));
    EXPECT_EQ(EncodeCommand(0x00B00100, {}, 256), Hex("00 B0 01 00 00"));
    EXPECT_EQ(EncodeCommand(0x00C00000, {}, 0x10), Hex("00 C0 00 00 10"));
}

TEST(PinBlock, DigitsPackedTwoPerByteThenFilled) {
    EXPECT_EQ(EncodePinBlock("1234"), Hex("24 12 34 FF FF FF FF FF"));
    EXPECT_EQ(EncodePinBlock("12345"), Hex("25 12 34 5F FF FF FF FF"));
    EXPECT_EQ(EncodePinBlock("123456789012"), Hex("2C 12 34 56 78 90 12 FF"));
    EXPECT_EQ(EncodePinBlock("12345678901234"), Hex("2E 12 34 56 78 90 12 34"));
}

TEST(PinBlock, RefusesWhatIsNotOneToFourteenDigits) {
    EXPECT_TRUE(EncodePinBlock("").empty());
    EXPECT_TRUE(EncodePinBlock("123456789012345").empty());
    EXPECT_TRUE(EncodePinBlock("12a4").empty());
    EXPECT_TRUE(EncodePinBlock("12 4").empty());
}

TEST(PinPadStructures, VerifyStructureIsTheThirtyTwoBytesOfTheReaderInterface) {
    EXPECT_EQ(PinVerifyStructure(), Hex("00 1E 89 47 04 0C 04 02 01 09 04 00 00 00 00 0D 00 00 00"
                                        "00 20 00 01 08 20 FF FF FF FF FF FF FF"));
    EXPECT_EQ(EscapePinPadVerifyData(), Hex("00 89 47 04 0C 04 02 01 04 09 00 00 00 00"
                                            "00 20 00 01 08 20 FF FF FF FF FF FF FF"));
}

TEST(Tlv, ScanMarksACutOffLastEntry) {
    auto entries = ScanTlv(Hex("06 04 42 33 00 06 0A 01 07 8A 05 01"));
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0].tag, 0x06);
    EXPECT_EQ(entries[0].valueOffset, 2u);
    EXPECT_TRUE(entries[0].complete);
    EXPECT_EQ(entries[1].tag, 0x0A);
    EXPECT_FALSE(entries[2].complete);
    EXPECT_TRUE(ScanTlv(Hex("06")).empty());
}

TEST(Encodings, ChallengeBcdAndAlgorithmByte) {
    EXPECT_EQ(EncodeBcd8(12345), Hex("00 01 23 45"));
    EXPECT_EQ(EncodeBcd8(99999999), Hex("99 99 99 99"));
    EXPECT_EQ(EncodeBcd8(0), Hex("00 00 00 00"));
    EXPECT_EQ(Beid18AlgorithmByte(32), 0x01);
    EXPECT_EQ(Beid18AlgorithmByte(48), 0x02);
    EXPECT_EQ(Beid18AlgorithmByte(64), 0x04);
    EXPECT_EQ(Beid18AlgorithmByte(20), 0x40);
}

TEST(ReaderClassification, UpperCasedNameAgainstPatternsInOrder) {
    using SZidaZaru::ClassifyReader;
    using SZidaZaru::ReaderClass;
    EXPECT_EQ(ClassifyReader("vasco digipass 870 00 00"), ReaderClass::EscapePinPad);
    EXPECT_EQ(ClassifyReader("VASCO DIGIPASS 850"), ReaderClass::EscapePinPad);
    EXPECT_EQ(ClassifyReader("x VASCO DIGIPASS 875 y"), ReaderClass::EscapePinPad);
    EXPECT_EQ(ClassifyReader("Gemalto APG8201 Z 00 00"), ReaderClass::CcidPinPad);
    EXPECT_EQ(ClassifyReader("Bosa BeIDx 00 00"), ReaderClass::Bypass);
    EXPECT_EQ(ClassifyReader("APG8201 VASCO DIGIPASS 920"), ReaderClass::EscapePinPad);
    EXPECT_EQ(ClassifyReader("APG8201 BOSA BEIDX"), ReaderClass::CcidPinPad);
    EXPECT_EQ(ClassifyReader("VASCO DIGIPASS 860"), ReaderClass::Plain);
    EXPECT_EQ(ClassifyReader("Generic Reader 00 00"), ReaderClass::Plain);
}

TEST(ErrorComposition, PrefixedByTheOperationInProgress) {
    using SZidaZaru::detail::OperationContext;
    using SZidaZaru::detail::OperationScope;
    OperationContext context;
    EXPECT_EQ(context.Compose("card blocked"), "card blocked");
    {
        OperationScope outer(context, "computing digital signature");
        OperationScope inner(context, "verifying PIN");
        EXPECT_EQ(context.Compose("card blocked"), "Error verifying PIN; card blocked");
        EXPECT_EQ(context.Compose(""), "Error verifying PIN");
        EXPECT_EQ(context.Compose(std::string(3000, 'x')).size(), 2047u);
        try {
            context.ThrowSystemCall("SCardTransmit", 0x80100069L);
        } catch (const Utils::api_exception& e) {
            EXPECT_STREQ(e.what(), "Error verifying PIN; error calling SCardTransmit (0x80100069) (0x0)");
        }
    }
    EXPECT_EQ(context.Top(), "");
    context.Pop();  // the bottom entry stays
    EXPECT_EQ(context.Compose("x"), "x");
}
