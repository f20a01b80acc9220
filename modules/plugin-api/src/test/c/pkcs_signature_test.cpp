#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

#include <openssl/evp.h>
#include <openssl/x509.h>

#include "clock.h"
#include "hex.h"
#include "log.h"
#include "pkcs_fakes.h"
#include "plugin-api-pkcs-sign.h"

using namespace pkcstest;

namespace {

int64_t fakeNow = 0;
int64_t fake_clock() { return fakeNow; }

constexpr int64_t BEFORE_RULE = EIDAS2_RULE_START_MS - 1000;
constexpr int64_t AFTER_RULE = EIDAS2_RULE_START_MS;

const std::string SIGNATURE_CERT = bytes({0x3F, 0x00, 0xDF, 0x00, 0x50, 0x39});

// A self-signed DER certificate whose notBefore is the given time (seconds since 1970).
std::vector<uint8_t> certificate(time_t notBefore) {
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"),
                                                            EVP_PKEY_free);
    std::unique_ptr<X509, decltype(&X509_free)> x(X509_new(), X509_free);
    X509_set_version(x.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(x.get()), 1);
    ASN1_TIME_set(X509_getm_notBefore(x.get()), notBefore);
    ASN1_TIME_set(X509_getm_notAfter(x.get()), notBefore + 10 * 365 * 86400);
    X509_NAME* name = X509_get_subject_name(x.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("Test Holder (Signature)"), -1, -1, 0);
    X509_set_issuer_name(x.get(), name);
    X509_set_pubkey(x.get(), key.get());
    X509_sign(x.get(), key.get(), EVP_sha256());
    unsigned char* der = nullptr;
    const int length = i2d_X509(x.get(), &der);
    std::vector<uint8_t> out(der, der + length);
    OPENSSL_free(der);
    return out;
}

constexpr time_t ISSUED_2015 = 1420070400;        // 2015-01-01
constexpr time_t ISSUED_2016_07_01 = 1467331200;  // exactly the limit
constexpr time_t ISSUED_2021 = 1609459200;        // 2021-01-01

class Signatures : public testing::Test {
protected:
    void SetUp() override {
        fakeNow = BEFORE_RULE;
        Utils::set_calendar_clock(fake_clock);
        unsetenv("VELDRA_SKIP_EIDAS2");
        unsetenv("VELDRA_FORCE_EIDAS2_FAIL");
        card = std::make_shared<FakeCard>();
        card->files[SIGNATURE_CERT] = certificate(ISSUED_2021);
        auto& library = factory.library();
        library.add("Classic", card);
        library.add("Newer", card, {0x3B, 0x7F, 0x96, 0x00, 0x00, 0x80, 0x31, 0x80, 0x65, 0xB0, 0x85,
                                    0x04, 0x01, 0x20, 0x12, 0x0F, 0xFF, 0x82, 0x90, 0x00, 0x01},
                    1);
        library.add("Pad", card, {0x3B}, 1, true);
        library.add("Unknown card", card, {0x3B}, 0);
    }
    void TearDown() override {
        Utils::set_calendar_clock(nullptr);
        unsetenv("VELDRA_SKIP_EIDAS2");
        unsetenv("VELDRA_FORCE_EIDAS2_FAIL");
    }

    Answer sign(const std::string& reader, const std::string& hash, const std::string& extra = R"(,"pin":"1234")",
                const char* cmd = "COMPUTE_SIGNATURE") {
        return run(
            factory,
            std::string(R"({"cmd":")") + cmd + R"(","reader":")" + reader + R"(","hash":")" + hash + "\"" + extra + "}",
            &context.ctx);
    }

    FakeFactory factory;
    std::shared_ptr<FakeCard> card;
    Context context;
};

std::string hash_of(size_t bytes) {
    std::string text;
    for (size_t i = 0; i < bytes; ++i) text += "A5";
    return text;
}

const std::string NOT_QUALIFIED = "Certificate was issued before 2016-07-01 and is no longer qualified under eIDAS 2.0";

}  // namespace

TEST_F(Signatures, AClassicCardSignsTheDigestInfoOfEachHashLength) {
    const std::pair<size_t, std::string> cases[] = {
        {20, "3021300906052B0E03021A05000414"},
        {32, "3031300D060960864801650304020105000420"},
        {64, "3051300D060960864801650304020305000440"},
    };
    for (const auto& [length, prefix] : cases) {
        const Answer a = sign("Classic", hash_of(length));
        ASSERT_TRUE(a.json.contains("signature")) << a.text;
        EXPECT_EQ(hex_upper(card->signedData.back()), prefix + hash_of(length));
        EXPECT_EQ(card->signedData.back().size(), prefix.size() / 2 + length);
        EXPECT_FALSE(card->beid18Flags.back());
        EXPECT_EQ(card->signKeys.back(), "__signature__");
    }
    // Either letter case, and the answer's members in order.
    const Answer a = sign("Classic", std::string(64, 'b'));
    EXPECT_EQ(hex_upper(card->signedData.back()).substr(38), std::string(64, 'B'));
    EXPECT_EQ(a.text, R"({"pinToken":")" + a.json["pinToken"].get<std::string>() +
                          R"(","pinRemainingAttempts":-1,"pinValid":true,"valid":true,"signature":"DEADBEEF"})");
}

TEST_F(Signatures, AClassicCardRefusesOtherHashLengthsBeforeAskingForThePin) {
    for (const std::string& hash : {hash_of(48), hash_of(0), std::string("ABC"), std::string("XY") + hash_of(31)}) {
        EXPECT_EQ(sign("Classic", hash, "").text,
                  error_text(7, 7, "Invalid hash [" + hash + "]; should be either 20, 32 or 64 bytes"));
    }
    EXPECT_TRUE(context.input.titles.empty());
    EXPECT_TRUE(card->verifiedPins.empty());
}

TEST_F(Signatures, A18CardSignsTheBareHashOfAnyLength) {
    for (size_t length : {32u, 48u, 64u, 20u}) {
        const Answer a = sign("Newer", hash_of(length));
        EXPECT_EQ(a.json["signature"], "DEADBEEF") << a.text;
        EXPECT_EQ(hex_upper(card->signedData.back()), hash_of(length));
        EXPECT_TRUE(card->beid18Flags.back());
    }
    // ...but never an empty or undecodable one.
    EXPECT_EQ(sign("Newer", "ABC").text, error_text(7, 7, "Invalid hash [ABC]; should be either 20, 32 or 64 bytes"));
    EXPECT_EQ(sign("Newer", "").text, error_text(7, 7, "Invalid hash []; should be either 20, 32 or 64 bytes"));
}

TEST_F(Signatures, KeysDefaultToTheLibraryLabels) {
    sign("Classic", hash_of(32), R"(,"pin":"1234","key":"")");
    EXPECT_EQ(card->signKeys.back(), "__signature__");
    sign("Classic", hash_of(32), R"(,"pin":"1234")", "COMPUTE_AUTHENTICATION");
    EXPECT_EQ(card->signKeys.back(), "__authentication__");
    sign("Classic", hash_of(32), R"(,"pin":"1234","key":"my-key")", "COMPUTE_AUTHENTICATION");
    EXPECT_EQ(card->signKeys.back(), "my-key");
}

TEST_F(Signatures, PinOutcomesOfTheSignature) {
    EXPECT_EQ(sign("Classic", hash_of(32), R"(,"pin":"9999")").text,
              R"({"pinRemainingAttempts":2,"pinValid":false,"valid":false})");
    EXPECT_EQ(sign("Pad", hash_of(32), "").text,
              R"({"pinRemainingAttempts":-1,"pinValid":true,"valid":true,"signature":"DEADBEEF"})");
    card->onSign = [] { throw CommBase::CommException("Error computing digital signature; error SW", 1, 0x6982); };
    EXPECT_EQ(sign("Classic", hash_of(32)).text,
              error_text(8, 8, "Error computing digital signature (Comm 0x1) (0x6982)"));
    card->onSign = [] { throw Utils::api_exception("Error setting security environment; error SW", 0x6A80, 0x2241B6); };
    EXPECT_EQ(sign("Classic", hash_of(32)).text,
              error_text(99, 99, "Error setting security environment; error SW (0x6a80) (0x2241b6)"));
}

TEST_F(Signatures, TheEidas2RuleAppliesOnlyAfterItsStartDate) {
    card->files[SIGNATURE_CERT] = certificate(ISSUED_2015);
    EXPECT_TRUE(sign("Classic", hash_of(32)).json.contains("signature"));
    EXPECT_TRUE(card->readPaths.empty());

    fakeNow = AFTER_RULE;
    EXPECT_EQ(sign("Classic", hash_of(32)).text, error_text(1, 1, NOT_QUALIFIED));
    EXPECT_EQ(card->readPaths, std::vector<std::string>{SIGNATURE_CERT});
    EXPECT_EQ(card->verifiedPins.size(), 1u);  // only the signature before the date asked for the PIN

    card->files[SIGNATURE_CERT] = certificate(ISSUED_2016_07_01);
    EXPECT_TRUE(sign("Classic", hash_of(32)).json.contains("signature"));
    card->files[SIGNATURE_CERT] = certificate(ISSUED_2016_07_01 - 1);
    EXPECT_EQ(sign("Classic", hash_of(32)).text, error_text(1, 1, NOT_QUALIFIED));

    // A card that is not an identity card is not checked; nor is the authentication key.
    card->readPaths.clear();
    EXPECT_TRUE(sign("Unknown card", hash_of(32)).json.contains("signature"));
    EXPECT_TRUE(sign("Classic", hash_of(32), R"(,"pin":"1234")", "COMPUTE_AUTHENTICATION").json.contains("signature"));
    EXPECT_TRUE(card->readPaths.empty());
}

TEST_F(Signatures, UnreadableCertificatesAreFailures) {
    fakeNow = AFTER_RULE;
    card->files[SIGNATURE_CERT] = {};
    EXPECT_EQ(sign("Classic", hash_of(32)).text, error_text(99, 99, "Empty certificate data"));
    card->files[SIGNATURE_CERT] = {0x30, 0x03, 0x02, 0x01, 0x01};
    EXPECT_EQ(sign("Classic", hash_of(32)).text, error_text(99, 99, "Failed to parse DER certificate"));
    card->files.erase(SIGNATURE_CERT);
    EXPECT_EQ(sign("Classic", hash_of(32)).text, error_text(99, 99, "error SW (0x6a82) (0xa4080c)"));
}

TEST_F(Signatures, TheTwoSwitchesOfTheRule) {
    setenv("VELDRA_FORCE_EIDAS2_FAIL", "true", 1);
    EXPECT_TRUE(sign("Classic", hash_of(32)).json.contains("signature"));
    setenv("VELDRA_FORCE_EIDAS2_FAIL", "1", 1);
    EXPECT_EQ(sign("Classic", hash_of(32), "").text, error_text(1, 1, NOT_QUALIFIED));  // before any PIN is asked
    EXPECT_TRUE(context.input.titles.empty());
    EXPECT_TRUE(sign("Classic", hash_of(32), R"(,"pin":"1234")", "COMPUTE_AUTHENTICATION").json.contains("signature"));
    setenv("VELDRA_SKIP_EIDAS2", "1", 1);
    fakeNow = AFTER_RULE;
    card->files[SIGNATURE_CERT] = certificate(ISSUED_2015);
    EXPECT_TRUE(sign("Classic", hash_of(32)).json.contains("signature"));
    EXPECT_TRUE(card->readPaths.empty());
    setenv("VELDRA_SKIP_EIDAS2", "yes", 1);
    EXPECT_EQ(sign("Classic", hash_of(32)).text, error_text(1, 1, NOT_QUALIFIED));
}

TEST_F(Signatures, TheLogNamesTheCardGenerationAndTheSkip) {
    debug_enabled.store(true);
    testing::internal::CaptureStderr();
    sign("Classic", hash_of(32), R"(,"pin":"1234")", "COMPUTE_AUTHENTICATION");
    sign("Newer", hash_of(32));
    const std::string log = testing::internal::GetCapturedStderr();
    debug_enabled.store(false);
    EXPECT_NE(log.find("[Classic] Skipping eIDAS2 compliance checks (VELDRA_SKIP_EIDAS2=1)"), std::string::npos);
    EXPECT_NE(log.find("[PLUGIN-API-PKCS]"), std::string::npos);
    EXPECT_NE(log.find(" `anonymous-namespace'::PluginApi::computeSignature) this is not a beid v1.8 card!"),
              std::string::npos);
    EXPECT_NE(log.find("this is not a beid v1.8 card!"), std::string::npos);
    EXPECT_NE(log.find("this is a beid v1.8 card!"), std::string::npos);
    EXPECT_NE(log.find("assembled data; 3031300D0609608648016503040201050004"
                       "20" +
                       hash_of(32)),
              std::string::npos);
    EXPECT_EQ(log.find("1234"), std::string::npos);
}
