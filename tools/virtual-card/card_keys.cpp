#include "card_keys.h"

#include <openssl/ec.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <future>
#include <stdexcept>

namespace VirtualCard {
namespace {

struct CertDeleter {
    void operator()(X509* c) const { X509_free(c); }
};
using Cert = std::unique_ptr<X509, CertDeleter>;

void Check(bool ok, const char* step) {
    if (!ok) throw std::runtime_error(std::string("certificate chain: ") + step + " failed");
}

Key NewKey(Generation generation) {
    EVP_PKEY* key = generation == Generation::Classic ? EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", size_t{2048})
                                                      : EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-384");
    Check(key != nullptr, "key generation");
    return Key(key);
}

// The key of role from cacheDir when it holds one, else a new one stored there for the next card:
// RSA key generation is most of a card's start, and the tests start a hundred cards. Without a
// cache folder every key is new.
Key CachedKey(Generation generation, const std::string& role, const std::string& cacheDir) {
    if (cacheDir.empty()) return NewKey(generation);
    const std::string path =
        cacheDir + "/" + (generation == Generation::Classic ? "rsa2048-" : "p384-") + role + ".key.pem";
    if (FILE* in = std::fopen(path.c_str(), "r")) {
        EVP_PKEY* key = PEM_read_PrivateKey(in, nullptr, nullptr, nullptr);
        std::fclose(in);
        if (key) return Key(key);
    }
    Key key = NewKey(generation);
    mkdir(cacheDir.c_str(), 0700);
    // Written beside and renamed, so that a card started at the same time reads a whole key or none.
    const std::string temporary = path + "." + std::to_string(getpid());
    if (FILE* out = std::fopen(temporary.c_str(), "w")) {
        const bool written = PEM_write_PrivateKey(out, key.get(), nullptr, nullptr, 0, nullptr, nullptr) == 1;
        if (std::fclose(out) == 0 && written && std::rename(temporary.c_str(), path.c_str()) == 0) return key;
        std::remove(temporary.c_str());
    }
    return key;
}

void AddName(X509_NAME* name, const char* field, const char* value) {
    Check(X509_NAME_add_entry_by_txt(name, field, MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(value), -1, -1,
                                     0) == 1,
          field);
}

void AddExtension(X509* cert, X509* issuer, int nid, const char* value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
    Check(ext != nullptr, value);
    X509_add_ext(cert, ext, -1);
    X509_EXTENSION_free(ext);
}

struct Profile {
    std::vector<std::pair<const char*, const char*>> subject;
    bool ca;
    const char* keyUsage;
};

Bytes ToDer(X509* cert) {
    const int length = i2d_X509(cert, nullptr);
    Check(length > 0, "encoding");
    Bytes der(static_cast<size_t>(length));
    unsigned char* p = der.data();
    i2d_X509(cert, &p);
    return der;
}

// Issues a certificate for subjectKey; issuer null makes it self-signed.
Cert Issue(const Profile& profile, EVP_PKEY* subjectKey, X509* issuer, EVP_PKEY* issuerKey,
           const std::string& notBefore) {
    Cert cert(X509_new());
    Check(cert != nullptr, "X509_new");
    X509_set_version(cert.get(), 2);
    // A serial number of this start's own: with cached keys, two cards made in the same second
    // still differ (the card's own serial number is taken from its signature certificate).
    uint64_t serial = 0;
    Check(RAND_bytes(reinterpret_cast<unsigned char*>(&serial), sizeof serial) == 1, "serial number");
    Check(ASN1_INTEGER_set_uint64(X509_get_serialNumber(cert.get()), serial >> 1) == 1, "serial number");
    X509_NAME* name = X509_get_subject_name(cert.get());
    for (const auto& [field, value] : profile.subject) AddName(name, field, value);
    X509_set_issuer_name(cert.get(), issuer ? X509_get_subject_name(issuer) : name);

    time_t now = std::time(nullptr);
    time_t start = now;
    if (!notBefore.empty()) {
        Check(ASN1_TIME_set_string_X509(X509_getm_notBefore(cert.get()), notBefore.c_str()) == 1, "notBefore");
        struct tm tm {};
        Check(ASN1_TIME_to_tm(X509_get0_notBefore(cert.get()), &tm) == 1, "notBefore");
        start = timegm(&tm);
    } else {
        X509_time_adj_ex(X509_getm_notBefore(cert.get()), 0, 0, &now);
    }
    time_t base = start > now ? start : now;
    X509_time_adj_ex(X509_getm_notAfter(cert.get()), 3650, 0, &base);
    X509_set_pubkey(cert.get(), subjectKey);

    X509* signer = issuer ? issuer : cert.get();
    AddExtension(cert.get(), signer, NID_basic_constraints, profile.ca ? "critical,CA:TRUE" : "critical,CA:FALSE");
    AddExtension(cert.get(), signer, NID_key_usage, profile.keyUsage);
    AddExtension(cert.get(), signer, NID_subject_key_identifier, "hash");
    if (issuer) {
        AddExtension(cert.get(), signer, NID_authority_key_identifier, "keyid:always");
        AddExtension(cert.get(), signer, NID_crl_distribution_points,
                     "URI:http://crl.test.invalid/veldra-test-citizen-ca-2026-01.crl");
        AddExtension(cert.get(), signer, NID_info_access,
                     "OCSP;URI:http://ocsp.test.invalid,caIssuers;URI:http://certs.test.invalid/citizen-ca.crt");
        AddExtension(cert.get(), signer, NID_subject_alt_name, "email:alice.tester@test.invalid");
    }
    Check(X509_sign(cert.get(), issuerKey, EVP_sha256()) > 0, "signing");
    return cert;
}

void WritePem(const Bytes& der, const std::string& path) {
    const unsigned char* p = der.data();
    Cert cert(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
    Check(cert != nullptr, "decoding");
    FILE* file = std::fopen(path.c_str(), "w");
    if (!file) throw std::runtime_error("cannot write " + path);
    const int ok = PEM_write_X509(file, cert.get());
    std::fclose(file);
    Check(ok == 1, "PEM writing");
}

}  // namespace

CardKeys MakeCardKeys(Generation generation, const std::string& signatureNotBefore, const std::string& keyCache) {
    CardKeys keys;
    // RSA key generation dominates the card's start: the four keys are made side by side.
    auto rootKey = std::async(std::launch::async, CachedKey, generation, "root", keyCache);
    auto caKey = std::async(std::launch::async, CachedKey, generation, "intermediate", keyCache);
    auto sigKey = std::async(std::launch::async, CachedKey, generation, "signature", keyCache);
    keys.authentication.key = CachedKey(generation, "authentication", keyCache);
    keys.root.key = rootKey.get();
    keys.intermediate.key = caKey.get();
    keys.signature.key = sigKey.get();

    const Profile root{
        {{"C", "BE"}, {"O", "Veldra Test"}, {"CN", "Veldra Test Root CA"}}, true, "critical,keyCertSign,cRLSign"};
    const Profile intermediate{
        {{"C", "BE"}, {"O", "Veldra Test"}, {"serialNumber", "202601"}, {"CN", "Veldra Test Citizen CA"}},
        true,
        "critical,keyCertSign,cRLSign"};
    const Profile signature{{{"C", "BE"},
                             {"CN", "Alice Tester (Signature)"},
                             {"SN", "Tester"},
                             {"GN", "Alice Marie"},
                             {"serialNumber", "71715100070"}},
                            false,
                            "critical,nonRepudiation"};
    const Profile authentication{{{"C", "BE"},
                                  {"CN", "Alice Tester (Authentication)"},
                                  {"SN", "Tester"},
                                  {"GN", "Alice Marie"},
                                  {"serialNumber", "71715100070"}},
                                 false,
                                 "critical,digitalSignature"};

    Cert rootCert = Issue(root, keys.root.key.get(), nullptr, keys.root.key.get(), "");
    Cert caCert = Issue(intermediate, keys.intermediate.key.get(), rootCert.get(), keys.root.key.get(), "");
    Cert sigCert =
        Issue(signature, keys.signature.key.get(), caCert.get(), keys.intermediate.key.get(), signatureNotBefore);
    Cert authCert = Issue(authentication, keys.authentication.key.get(), caCert.get(), keys.intermediate.key.get(), "");
    keys.root.certificate = ToDer(rootCert.get());
    keys.intermediate.certificate = ToDer(caCert.get());
    keys.signature.certificate = ToDer(sigCert.get());
    keys.authentication.certificate = ToDer(authCert.get());
    return keys;
}

void WriteCertificatesPem(const CardKeys& keys, const std::string& directory) {
    WritePem(keys.root.certificate, directory + "/root.pem");
    WritePem(keys.intermediate.certificate, directory + "/intermediate.pem");
    WritePem(keys.signature.certificate, directory + "/signature.pem");
    WritePem(keys.authentication.certificate, directory + "/authentication.pem");
}

Bytes CardSign(EVP_PKEY* key, const Bytes& data) {
    std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> ctx(EVP_PKEY_CTX_new(key, nullptr), EVP_PKEY_CTX_free);
    if (!ctx || EVP_PKEY_sign_init(ctx.get()) != 1) return {};
    const bool rsa = EVP_PKEY_is_a(key, "RSA");
    if (rsa && EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1) return {};
    size_t length = 0;
    if (EVP_PKEY_sign(ctx.get(), nullptr, &length, data.data(), data.size()) != 1) return {};
    Bytes out(length);
    if (EVP_PKEY_sign(ctx.get(), out.data(), &length, data.data(), data.size()) != 1) return {};
    out.resize(length);
    if (rsa) return out;

    // ECDSA: DER SEQUENCE { r, s } to the fixed-width r || s the card answers.
    const unsigned char* p = out.data();
    ECDSA_SIG* sig = d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(out.size()));
    if (!sig) return {};
    const int half = (EVP_PKEY_get_bits(key) + 7) / 8;
    Bytes rs(static_cast<size_t>(2 * half));
    const bool ok = BN_bn2binpad(ECDSA_SIG_get0_r(sig), rs.data(), half) == half &&
                    BN_bn2binpad(ECDSA_SIG_get0_s(sig), rs.data() + half, half) == half;
    ECDSA_SIG_free(sig);
    return ok ? rs : Bytes{};
}

}  // namespace VirtualCard
