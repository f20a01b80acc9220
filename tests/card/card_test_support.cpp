#include "card_test_support.h"

#include <cstdio>
#include <memory>

#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

namespace cardtest {

namespace {

using X509Ptr = std::unique_ptr<X509, decltype(&X509_free)>;

X509Ptr parse_certificate(const std::vector<uint8_t>& der) {
    const unsigned char* p = der.data();
    return X509Ptr(d2i_X509(nullptr, &p, static_cast<long>(der.size())), X509_free);
}

// The card's r || s as a DER ECDSA-Sig-Value.
std::vector<uint8_t> ecdsa_der(const std::vector<uint8_t>& rs) {
    const int half = static_cast<int>(rs.size() / 2);
    ECDSA_SIG* sig = ECDSA_SIG_new();
    ECDSA_SIG_set0(sig, BN_bin2bn(rs.data(), half, nullptr), BN_bin2bn(rs.data() + half, half, nullptr));
    unsigned char* der = nullptr;
    const int length = i2d_ECDSA_SIG(sig, &der);
    std::vector<uint8_t> out(der, der + (length > 0 ? length : 0));
    OPENSSL_free(der);
    ECDSA_SIG_free(sig);
    return out;
}

}  // namespace

std::vector<uint8_t> from_hex(const std::string& hex) {
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

std::string to_hex(const std::vector<uint8_t>& bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (uint8_t b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

std::vector<uint8_t> digest(const char* algorithm, const std::string& data) {
    std::vector<uint8_t> out(EVP_MAX_MD_SIZE);
    unsigned int length = 0;
    EVP_Digest(data.data(), data.size(), out.data(), &length, EVP_get_digestbyname(algorithm), nullptr);
    out.resize(length);
    return out;
}

bool verifies(const std::vector<uint8_t>& certificateDer, const std::vector<uint8_t>& hash, const char* hashAlgorithm,
              const std::vector<uint8_t>& signature) {
    X509Ptr certificate = parse_certificate(certificateDer);
    if (!certificate) return false;
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(X509_get_pubkey(certificate.get()), EVP_PKEY_free);
    if (!key) return false;
    std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> ctx(EVP_PKEY_CTX_new(key.get(), nullptr),
                                                                    EVP_PKEY_CTX_free);
    if (!ctx || EVP_PKEY_verify_init(ctx.get()) != 1) return false;
    std::vector<uint8_t> sig = signature;
    if (EVP_PKEY_is_a(key.get(), "RSA")) {
        if (EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1 ||
            EVP_PKEY_CTX_set_signature_md(ctx.get(), EVP_get_digestbyname(hashAlgorithm)) != 1)
            return false;
    } else {
        sig = ecdsa_der(signature);
    }
    return EVP_PKEY_verify(ctx.get(), sig.data(), sig.size(), hash.data(), hash.size()) == 1;
}

void CardTest::TearDown() { cards_.remove_all(); }

Answer CardTest::request(const nlohmann::json& message, const hosttest::HostOptions& extra) {
    hosttest::HostOptions options = extra;
    // The Windows host under Wine instead (scripts/windows-test: its PC/SC calls reach this pcscd
    // through the test-only winscard.dll and veldra-winscard-relay).
    hosttest::use_windows_host(options);
    options.env.emplace("XDG_DATA_HOME", home.path());
    options.env.emplace("HOME", home.path());
    Answer answer;
    answer.run = hosttest::run_host(hosttest::frame(message.dump()), options);
    EXPECT_EQ(answer.run.exit_code, 0) << answer.run.err;
    EXPECT_FALSE(answer.run.timed_out);
    const auto text = answer.run.answer();
    EXPECT_TRUE(text.has_value()) << "not one frame: " << answer.run.out;
    answer.text = text.value_or("");
    answer.json = nlohmann::json::parse(answer.text, nullptr, false);
    EXPECT_FALSE(answer.json.is_discarded()) << answer.text;
    if (answer.json.is_discarded()) answer.json = nlohmann::json::object();
    return answer;
}

}  // namespace cardtest
