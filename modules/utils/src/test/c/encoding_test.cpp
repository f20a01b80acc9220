#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "base64.h"
#include "hex.h"

namespace {
std::vector<uint8_t> bytes(const std::string& text) { return {text.begin(), text.end()}; }
}  // namespace

TEST(Hex, ToBytes) {
    uint8_t out[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    EXPECT_EQ(hex_to_bytes("0aFF", out, sizeof out), 2);
    EXPECT_EQ(out[0], 0x0A);
    EXPECT_EQ(out[1], 0xFF);
    EXPECT_EQ(hex_to_bytes("", out, sizeof out), 0);
    EXPECT_EQ(hex_to_bytes("0aF", out, sizeof out), -1);
    out[0] = 0x11;
    EXPECT_EQ(hex_to_bytes("000g", out, sizeof out), -1);
    EXPECT_EQ(out[0], 0x11) << "nothing is written before the whole text is checked";
    EXPECT_EQ(hex_to_bytes("0102030405", out, sizeof out), -1);
}

TEST(Hex, FromBytesDropsWhatDoesNotFit) {
    const uint8_t in[] = {0x01, 0xAB, 0xFF};
    char out[8];
    EXPECT_STREQ(bytes_to_hex(in, 3, out, 7), "01ABFF");
    EXPECT_STREQ(bytes_to_hex(in, 3, out, 6), "01AB");
    EXPECT_STREQ(bytes_to_hex(nullptr, 0, out, 6), "");
    EXPECT_EQ(hex_upper({0x0A, 0xFF}), "0AFF");
    EXPECT_EQ(hex_upper({}), "");
}

TEST(Base64, EncodeVectors) {
    EXPECT_EQ(base64_encode(bytes("")), "");
    EXPECT_EQ(base64_encode(bytes("a")), "YQ==");
    EXPECT_EQ(base64_encode(bytes("ab")), "YWI=");
    EXPECT_EQ(base64_encode(bytes("abc")), "YWJj");
    EXPECT_EQ(base64_encode(bytes("foobar")), "Zm9vYmFy");
    const std::string key = base64_encode(std::vector<uint8_t>(32, 0xFF));
    EXPECT_EQ(key.size(), 44u);
    EXPECT_EQ(key.back(), '=');
    EXPECT_NE(key[42], '=');
}

TEST(Base64, DecodeVectorsAndQuirks) {
    EXPECT_EQ(base64_decode("YWI="), bytes("ab"));
    EXPECT_EQ(base64_decode("Zm9vYmFy"), bytes("foobar"));
    EXPECT_EQ(base64_decode(""), bytes(""));
    EXPECT_THROW(base64_decode("YWI"), std::runtime_error);
    try {
        base64_decode("YWI");
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "invalid base64 length");
    }
    // A stray character decodes like "/" (63); everything after the first "=" is ignored.
    EXPECT_EQ(base64_decode("*///"), base64_decode("////"));
    EXPECT_EQ(base64_decode("YQ==YWJj"), bytes("a"));
}

TEST(Base64, RoundTripsEveryLength) {
    std::vector<uint8_t> data;
    for (int n = 0; n < 70; ++n) {
        EXPECT_EQ(base64_decode(base64_encode(data)), data) << n;
        data.push_back(static_cast<uint8_t>(n * 37 + 11));
    }
}
