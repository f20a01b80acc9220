#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "base64.h"
#include "clock.h"
#include "pin_token.h"

namespace {

const std::string kBinding = pin_token_binding({0x53, 0x54}, "chrome-extension://test/");

int64_t fakeNow = 0;
int64_t fake_clock() { return fakeNow; }

class PinToken : public testing::Test {
protected:
    void SetUp() override {
        fakeNow = 1'700'000'000'000;
        Utils::set_calendar_clock(fake_clock);
    }
    void TearDown() override { Utils::set_calendar_clock(nullptr); }

    static std::string open_error(const PinTokenCipher& cipher, const std::string& token,
                                  const std::string& binding = kBinding) {
        try {
            cipher.Open(Utils::Secret::copy_of(token), binding);
            return "opened";
        } catch (const std::runtime_error& e) {
            return e.what();
        }
    }

    uint8_t key_[MASTER_KEY_LENGTH] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
};

}  // namespace

TEST_F(PinToken, OpensUntilItsExpiryAndNotAfter) {
    PinTokenCipher cipher(key_);
    const std::string token = cipher.Seal(Utils::Secret::copy_of("1234"), fakeNow + PIN_TOKEN_LIFETIME_MS, kBinding);
    EXPECT_EQ(token.size(), 80u);
    fakeNow += 249'000;
    EXPECT_EQ(cipher.Open(Utils::Secret::copy_of(token), kBinding), "1234");
    fakeNow += 1'000;
    EXPECT_EQ(open_error(cipher, token), "invalid mangled string");
}

TEST_F(PinToken, LayoutAndSizes) {
    PinTokenCipher cipher(key_);
    const int64_t expiry = fakeNow + PIN_TOKEN_LIFETIME_MS;
    const std::vector<uint8_t> blob =
        base64_decode(cipher.Seal(Utils::Secret::copy_of("123456789012"), expiry, kBinding));
    ASSERT_EQ(blob.size(), 68u);
    EXPECT_EQ(base64_encode(blob).size(), 92u);
    EXPECT_EQ(blob[0], 64);  // 12 + 52, little-endian
    EXPECT_EQ(blob[1] | blob[2] | blob[3], 0);
    int64_t stored = 0;
    for (int i = 0; i < 8; ++i) stored |= static_cast<int64_t>(blob[32 + i]) << (8 * i);
    EXPECT_EQ(stored, expiry);
}

TEST_F(PinToken, AnyChangedByteIsRefused) {
    PinTokenCipher cipher(key_);
    const std::vector<uint8_t> blob =
        base64_decode(cipher.Seal(Utils::Secret::copy_of("1234"), fakeNow + PIN_TOKEN_LIFETIME_MS, kBinding));
    for (size_t i = 0; i < blob.size(); ++i) {
        std::vector<uint8_t> changed = blob;
        changed[i] ^= 0x01;
        EXPECT_EQ(open_error(cipher, base64_encode(changed)), "invalid mangled string") << "byte " << i;
    }
}

TEST_F(PinToken, OtherMasterKeyBadShapesAndBadBase64) {
    PinTokenCipher cipher(key_);
    const std::string token = cipher.Seal(Utils::Secret::copy_of("1234"), fakeNow + PIN_TOKEN_LIFETIME_MS, kBinding);
    uint8_t otherKey[MASTER_KEY_LENGTH] = {9};
    EXPECT_EQ(open_error(PinTokenCipher(otherKey), token), "invalid mangled string");
    EXPECT_EQ(open_error(cipher, token.substr(1)), "invalid base64 length");
    std::vector<uint8_t> exact(56, 0);
    exact[0] = 52;
    EXPECT_EQ(open_error(cipher, base64_encode(exact)), "invalid mangled string");
    std::vector<uint8_t> lying = base64_decode(token);
    lying[0] = 55;
    EXPECT_EQ(open_error(cipher, base64_encode(lying)), "invalid mangled string");
    EXPECT_EQ(open_error(cipher, cipher.Seal(Utils::Secret::copy_of(""), fakeNow + 1000, kBinding)),
              "invalid mangled string");
}

TEST_F(PinToken, SaltAndIvAreFreshEachTime) {
    PinTokenCipher cipher(key_);
    const int64_t expiry = fakeNow + PIN_TOKEN_LIFETIME_MS;
    const auto a = base64_decode(cipher.Seal(Utils::Secret::copy_of("1234"), expiry, kBinding));
    const auto b = base64_decode(cipher.Seal(Utils::Secret::copy_of("1234"), expiry, kBinding));
    EXPECT_TRUE(std::equal(a.begin(), a.begin() + 4, b.begin()));
    EXPECT_TRUE(std::equal(a.begin() + 32, a.begin() + 40, b.begin() + 32));
    EXPECT_FALSE(std::equal(a.begin() + 4, a.begin() + 32, b.begin() + 4));
    EXPECT_FALSE(std::equal(a.begin() + 40, a.end(), b.begin() + 40));
}

TEST_F(PinToken, OpensOnlyWithTheBindingItWasSealedWith) {
    PinTokenCipher cipher(key_);
    const std::string token = cipher.Seal(Utils::Secret::copy_of("1234"), fakeNow + PIN_TOKEN_LIFETIME_MS, kBinding);
    EXPECT_EQ(open_error(cipher, token, pin_token_binding({0x53, 0x55}, "chrome-extension://test/")),
              "invalid mangled string");
    EXPECT_EQ(open_error(cipher, token, pin_token_binding({0x53, 0x54}, "chrome-extension://other/")),
              "invalid mangled string");
    EXPECT_EQ(cipher.Open(Utils::Secret::copy_of(token), kBinding), "1234");
}
