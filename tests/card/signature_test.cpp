// The signature commands through the real host: signatures checked with OpenSSL against the
// certificates read from the card, the 1.8 card's ECDSA path, and the eIDAS 2.0 rule as it
// applies today (the rule's start date lies in the past; both sides of it are unit-tested
// through the clock seam).
#include "card_test_support.h"

using namespace cardtest;
using nlohmann::json;

namespace {

class Signature : public CardTest {
protected:
    std::vector<uint8_t> certificate(const std::string& reader, const char* file) {
        const Answer a = request({{"cmd", "READ_FILE"}, {"reader", reader}, {"fileId", file}});
        EXPECT_TRUE(a.json.contains("data")) << a.text;
        return a.json.contains("data") ? from_hex(a.json["data"]) : std::vector<uint8_t>{};
    }
};

const std::string DOCUMENT = "The quick brown fox signs the lazy dog's lease.\n";
const char* NOT_QUALIFIED = "Certificate was issued before 2016-07-01 and is no longer qualified under eIDAS 2.0";

}  // namespace

TEST_F(Signature, AClassicCardSignsTheDigestInfoOfSha1Sha256AndSha512) {
    insert("plain");
    const std::vector<uint8_t> signatureCert = certificate(PLAIN, SIGNATURE_CERT);
    const std::vector<uint8_t> authenticationCert = certificate(PLAIN, AUTHENTICATION_CERT);
    for (const char* algorithm : {"SHA1", "SHA256", "SHA512"}) {
        const std::vector<uint8_t> hash = digest(algorithm, DOCUMENT);
        const Answer a =
            request({{"cmd", "COMPUTE_SIGNATURE"}, {"reader", PLAIN}, {"hash", to_hex(hash)}, {"pin", "1234"}});
        ASSERT_TRUE(a.json.contains("signature")) << algorithm << ": " << a.text;
        const std::string token = a.json["pinToken"];
        EXPECT_EQ(a.text, R"({"pinToken":")" + token +
                              R"(","pinRemainingAttempts":-1,"pinValid":true,"valid":true,)"
                              R"("signature":")" +
                              a.json["signature"].get<std::string>() + R"("})");
        const std::vector<uint8_t> signature = from_hex(a.json["signature"]);
        EXPECT_EQ(signature.size(), 256u);
        EXPECT_TRUE(verifies(signatureCert, hash, algorithm, signature)) << algorithm;
        EXPECT_FALSE(verifies(authenticationCert, hash, algorithm, signature)) << "signed with the wrong key";

        const Answer auth = request({{"cmd", "COMPUTE_AUTHENTICATION"},
                                     {"reader", PLAIN},
                                     {"hash", to_hex(hash)},
                                     {"pinToken", token},
                                     {"debug", "true"}});
        ASSERT_TRUE(auth.json.contains("signature")) << auth.text;
        EXPECT_TRUE(verifies(authenticationCert, hash, algorithm, from_hex(auth.json["signature"]))) << algorithm;
        EXPECT_NE(auth.run.err.find("Skipping eIDAS2 compliance checks"), std::string::npos);
    }
}

TEST_F(Signature, TheTokenOfAVerificationSignsInTheNextProcess) {
    insert("plain");
    const Answer verified = request({{"cmd", "VERIFY_PIN"}, {"reader", PLAIN}, {"pin", "1234"}});
    const std::vector<uint8_t> hash = digest("SHA256", DOCUMENT);
    hosttest::HostOptions noDialog;
    noDialog.env["PATH"] = "/nonexistent";
    const Answer signed_ = request({{"cmd", "COMPUTE_SIGNATURE"},
                                    {"reader", PLAIN},
                                    {"hash", to_hex(hash)},
                                    {"pinToken", verified.json["pinToken"]}},
                                   noDialog);
    ASSERT_TRUE(signed_.json.contains("signature")) << signed_.text;
    EXPECT_TRUE(verifies(certificate(PLAIN, SIGNATURE_CERT), hash, "SHA256", from_hex(signed_.json["signature"])));
}

TEST_F(Signature, WrongPinsAndBadHashes) {
    insert("plain");
    const std::string hash = to_hex(digest("SHA256", DOCUMENT));
    EXPECT_EQ(request({{"cmd", "COMPUTE_SIGNATURE"}, {"reader", PLAIN}, {"hash", hash}, {"pin", "4321"}}).text,
              R"({"pinRemainingAttempts":2,"pinValid":false,"valid":false})");
    const std::string sha384 = to_hex(digest("SHA384", DOCUMENT));
    const Answer a = request({{"cmd", "COMPUTE_SIGNATURE"}, {"reader", PLAIN}, {"hash", sha384}, {"pin", "1234"}});
    EXPECT_EQ(a.text, error_answer(7, 7, "Invalid hash [" + sha384 + "]; should be either 20, 32 or 64 bytes"));
    EXPECT_EQ(request({{"cmd", "COMPUTE_SIGNATURE"}, {"reader", PLAIN}, {"pin", "1234"}}).code(), 99);
}

TEST_F(Signature, A18CardSignsTheBareHashWithEcdsa) {
    insert("plain", {"--generation", "1.8"});
    const std::vector<uint8_t> signatureCert = certificate(PLAIN, SIGNATURE_CERT);
    const std::vector<uint8_t> authenticationCert = certificate(PLAIN, AUTHENTICATION_CERT);
    for (const char* algorithm : {"SHA256", "SHA384", "SHA512"}) {
        const std::vector<uint8_t> hash = digest(algorithm, DOCUMENT);
        const Answer a =
            request({{"cmd", "COMPUTE_SIGNATURE"}, {"reader", PLAIN}, {"hash", to_hex(hash)}, {"pin", "1234"}});
        ASSERT_TRUE(a.json.contains("signature")) << algorithm << ": " << a.text;
        EXPECT_TRUE(verifies(signatureCert, hash, algorithm, from_hex(a.json["signature"]))) << algorithm;
        const Answer auth =
            request({{"cmd", "COMPUTE_AUTHENTICATION"}, {"reader", PLAIN}, {"hash", to_hex(hash)}, {"pin", "1234"}});
        ASSERT_TRUE(auth.json.contains("signature")) << auth.text;
        EXPECT_TRUE(verifies(authenticationCert, hash, algorithm, from_hex(auth.json["signature"]))) << algorithm;
    }
}

TEST_F(Signature, TheEidas2RuleRefusesCertificatesIssuedBefore2016) {
    insert("plain", {"--sig-not-before", "20150601000000Z"});
    const std::string hash = to_hex(digest("SHA256", DOCUMENT));
    const json sign = {{"cmd", "COMPUTE_SIGNATURE"}, {"reader", PLAIN}, {"hash", hash}, {"pin", "1234"}};
    Answer a = request(sign);
    EXPECT_EQ(a.code(), 1) << a.text;
    EXPECT_EQ(a.id(), 1);
    EXPECT_EQ(a.message(), NOT_QUALIFIED);

    // The authentication key is not concerned, and the rule can be switched off.
    json auth = sign;
    auth["cmd"] = "COMPUTE_AUTHENTICATION";
    EXPECT_TRUE(request(auth).json.contains("signature"));
    hosttest::HostOptions skip;
    skip.env["VELDRA_SKIP_EIDAS2"] = "1";
    skip.env["VELDRA_FORCE_EIDAS2_FAIL"] = "1";
    a = request(sign, skip);
    ASSERT_TRUE(a.json.contains("signature")) << a.text;
    EXPECT_TRUE(verifies(certificate(PLAIN, SIGNATURE_CERT), from_hex(hash), "SHA256", from_hex(a.json["signature"])));
    skip.env["VELDRA_SKIP_EIDAS2"] = "true";
    EXPECT_EQ(request(sign, skip).code(), 1);
}

TEST_F(Signature, TheRuleCanBeForcedToFailBeforeAnyPinIsAsked) {
    insert("plain", {"--tries", "1"});
    const std::string hash = to_hex(digest("SHA256", DOCUMENT));
    hosttest::HostOptions force;
    force.env["VELDRA_FORCE_EIDAS2_FAIL"] = "1";
    Answer a = request({{"cmd", "COMPUTE_SIGNATURE"}, {"reader", PLAIN}, {"hash", hash}, {"pin", "9999"}}, force);
    EXPECT_EQ(a.code(), 1) << a.text;
    EXPECT_EQ(a.message(), NOT_QUALIFIED);
    force.env["VELDRA_FORCE_EIDAS2_FAIL"] = "true";
    a = request({{"cmd", "COMPUTE_SIGNATURE"}, {"reader", PLAIN}, {"hash", hash}, {"pin", "1234"}}, force);
    EXPECT_TRUE(a.json.contains("signature")) << "the one try was not used: " << a.text;
}

TEST_F(Signature, APinPadReaderSignsWithoutAToken) {
    insert("escape");
    insert("bypass");
    const std::vector<uint8_t> hash = digest("SHA256", DOCUMENT);
    hosttest::HostOptions noDialog;
    noDialog.env["PATH"] = "/nonexistent";
    const Answer a = request({{"cmd", "COMPUTE_SIGNATURE"}, {"reader", ESCAPE}, {"hash", to_hex(hash)}}, noDialog);
    ASSERT_TRUE(a.json.contains("signature")) << a.text;
    EXPECT_FALSE(a.json.contains("pinToken"));
    EXPECT_TRUE(verifies(certificate(ESCAPE, SIGNATURE_CERT), hash, "SHA256", from_hex(a.json["signature"])));

    // A bypass reader presents no PIN; this card then refuses to sign (security status 6982).
    const Answer refused =
        request({{"cmd", "COMPUTE_SIGNATURE"}, {"reader", BYPASS}, {"hash", to_hex(hash)}}, noDialog);
    EXPECT_EQ(refused.text, error_answer(8, 8, "Error computing digital signature (Comm 0x1) (0x6982)"));
}

TEST_F(Signature, ACardPulledOutDuringTheSignatureIsAnErrorAnswer) {
    const std::string hash = to_hex(digest("SHA256", DOCUMENT));
    // Somewhere between the security environment and the signature's GET RESPONSE.
    // (recognition 2 APDUs, the whole certificate 7, then these 4).
    for (const char* dropOn : {"10", "11", "12", "13"}) {
        insert("plain", {"--drop-on", dropOn});
        const Answer a = request({{"cmd", "COMPUTE_SIGNATURE"}, {"reader", PLAIN}, {"hash", hash}, {"pin", "1234"}});
        EXPECT_TRUE(a.error()) << dropOn << ": " << a.text;
        EXPECT_LT(a.run.elapsed.count(), 10000);
        if (a.error()) {
            EXPECT_TRUE(a.code() == 8 || a.code() == 99) << a.text;
        }
        remove("plain");
    }
}
