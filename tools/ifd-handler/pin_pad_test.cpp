// The PIN pad's VERIFY from the host's PIN_VERIFY_STRUCTURE and the typed keys.
#include <gtest/gtest.h>

#include <algorithm>

#include "pin_pad.h"

using namespace VirtualReader;

namespace {

// The structure the host sends: BCD digits from byte 1, a 4-bit length in the low nibble of
// byte 0, 4 to 12 digits, the 13-byte VERIFY template.
const Bytes kStructure = {0x00, 0x1E, 0x89, 0x47, 0x04, 0x0C, 0x04, 0x02, 0x01, 0x09, 0x04,
                          0x00, 0x00, 0x00, 0x00, 0x0D, 0x00, 0x00, 0x00, 0x00, 0x20, 0x00,
                          0x01, 0x08, 0x20, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

KeypadEntry Typed(const std::string& digits) {
    Bytes answer(digits.size() + 1, 0x00);
    std::copy(digits.begin(), digits.end(), answer.begin() + 1);
    return ParseKeypadAnswer(answer);
}

TEST(PinPad, TypedDigitsFillTheBlockAndItsLength) {
    const PinVerification four = BuildVerify(kStructure, Typed("1234"));
    ASSERT_TRUE(four.valid);
    EXPECT_EQ(four.readerStatus, 0);
    EXPECT_EQ(four.command, (Bytes{0x00, 0x20, 0x00, 0x01, 0x08, 0x24, 0x12, 0x34, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
    const PinVerification five = BuildVerify(kStructure, Typed("12345"));
    EXPECT_EQ(five.command, (Bytes{0x00, 0x20, 0x00, 0x01, 0x08, 0x25, 0x12, 0x34, 0x5F, 0xFF, 0xFF, 0xFF, 0xFF}));
}

TEST(PinPad, ReaderAnswersCancelTimeoutAndWrongLengthItself) {
    EXPECT_EQ(BuildVerify(kStructure, ParseKeypadAnswer({0x01})).readerStatus, kPinCancelled);
    EXPECT_EQ(BuildVerify(kStructure, ParseKeypadAnswer({0x02})).readerStatus, kPinTimeout);
    EXPECT_EQ(BuildVerify(kStructure, ParseKeypadAnswer({})).readerStatus, kPinTimeout);
    EXPECT_EQ(BuildVerify(kStructure, Typed("123")).readerStatus, kPinLengthWrong);
    EXPECT_EQ(BuildVerify(kStructure, Typed("1234567890123")).readerStatus, kPinLengthWrong);
}

TEST(PinPad, MalformedStructureIsRefused) {
    Bytes shortened(kStructure.begin(), kStructure.end() - 1);
    EXPECT_FALSE(BuildVerify(shortened, Typed("1234")).valid);
    Bytes ascii = kStructure;
    ascii[2] = 0x8A;  // ASCII digits: not what this pad does
    EXPECT_FALSE(BuildVerify(ascii, Typed("1234")).valid);
}

}  // namespace
