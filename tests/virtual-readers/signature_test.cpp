// Signatures by the emulated cards, verified with OpenSSL against their certificates.
#include <openssl/x509.h>
#include <openssl/pem.h>

#include "test_bed.h"

using namespace TestBed;

namespace {

class Signatures : public CardTest {};

const std::string kMessage = "the document the user signs";

TEST_F(Signatures, ClassicCardSignsTheDigestInfoWithBothKeys) {
    Insert("plain");
    auto reader = OpenReader(kPlain);
    const Bytes info = Sha256DigestInfo(Digest(EVP_sha256(), kMessage));
    for (const char* key : {"__signature__", "__authentication__"}) {
        SCOPED_TRACE(key);
        const Bytes signature = reader->Sign(Utils::Secret::copy_of("1234"), key, info);
        ASSERT_EQ(signature.size(), 256u);
        const std::string which = std::string(key) == "__signature__" ? "signature" : "authentication";
        EXPECT_TRUE(VerifySignature(CertificateKey("plain", which).get(), EVP_sha256(), kMessage, signature));
        EXPECT_FALSE(VerifySignature(CertificateKey("plain", which).get(), EVP_sha256(), kMessage + ".", signature));
    }
    const std::string log = CardLog("plain");
    EXPECT_NE(log.find("MSE SET alg=01 key=83"), std::string::npos);
    EXPECT_NE(log.find("MSE SET alg=01 key=82"), std::string::npos);
}

TEST_F(Signatures, Beid18CardNamesTheAlgorithmAndSignsTheBareHash) {
    Insert("plain", "--generation 1.8");
    auto reader = OpenReader(kPlain);
    const Bytes sha384 = Digest(EVP_sha384(), kMessage);
    const Bytes signature = reader->SignBeid18(Utils::Secret::copy_of("1234"), "__signature__", sha384, true);
    ASSERT_EQ(signature.size(), 96u);
    EXPECT_TRUE(VerifySignature(CertificateKey("plain", "signature").get(), EVP_sha384(), kMessage, signature));

    const Bytes sha256 = Digest(EVP_sha256(), kMessage);
    const Bytes auth = reader->SignBeid18(Utils::Secret::copy_of("1234"), "__authentication__", sha256, true);
    EXPECT_TRUE(VerifySignature(CertificateKey("plain", "authentication").get(), EVP_sha256(), kMessage, auth));

    const std::string log = CardLog("plain");
    EXPECT_NE(log.find("MSE SET alg=02 key=83"), std::string::npos) << log;
    EXPECT_NE(log.find("MSE SET alg=01 key=82"), std::string::npos) << log;
}

TEST_F(Signatures, PinPadAndBypassReadersSign) {
    Insert("escape");
    Insert("bypass");
    const Bytes info = Sha256DigestInfo(Digest(EVP_sha256(), kMessage));
    EXPECT_TRUE(VerifySignature(CertificateKey("escape", "signature").get(), EVP_sha256(), kMessage,
                                OpenReader(kEscape)->Sign(Utils::Secret::copy_of(""), "__signature__", info)));
    // The bypass reader sends no VERIFY: the card itself refuses the signature key.
    try {
        OpenReader(kBypass)->Sign(Utils::Secret::copy_of(""), "__signature__", info);
        ADD_FAILURE() << "signed without a PIN";
    } catch (const CommBase::CommException& e) {
        EXPECT_EQ(e.code(), 1);
        EXPECT_EQ(e.value(), 0x6982);
        EXPECT_EQ(e.message(), "Error computing digital signature; error SW");
    }
}

TEST_F(Signatures, WrongPinStopsBeforeTheSignature) {
    Insert("plain");
    auto reader = OpenReader(kPlain);
    try {
        reader->Sign(Utils::Secret::copy_of("4321"), "__signature__", Sha256DigestInfo(Digest(EVP_sha256(), kMessage)));
        ADD_FAILURE() << "no exception";
    } catch (const CommBase::CommException& e) {
        EXPECT_EQ(e.code(), 6);
        EXPECT_EQ(e.message(), "Error verifying PIN; invalid pin; remaining 2");
    }
    EXPECT_EQ(CardLog("plain").find("C 002A9E9A"), std::string::npos);
}

TEST_F(Signatures, SignatureCertificateNotBeforeIsSettable) {
    Insert("plain", "--sig-not-before 20160630235959Z");
    const Bytes der = CertificateDer("plain", "signature");
    const unsigned char* p = der.data();
    X509* cert = d2i_X509(nullptr, &p, static_cast<long>(der.size()));
    ASSERT_NE(cert, nullptr);
    ASN1_TIME* expected = ASN1_TIME_new();
    ASN1_TIME_set_string(expected, "20160630235959Z");
    EXPECT_EQ(ASN1_TIME_compare(X509_get0_notBefore(cert), expected), 0);
    ASN1_TIME_free(expected);
    X509_free(cert);
    // The card holds the same certificate.
    auto reader = OpenReader(kPlain);
    reader->Connect();
    EXPECT_EQ(reader->ReadFile(std::string("\x3F\x00\xDF\x00\x50\x39", 6)), der);
}

}  // namespace
