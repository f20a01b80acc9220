#include "test_bed.h"

#include <openssl/pem.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace TestBed {

int Script(const std::string& arguments) {
    const std::string command = std::string(VELDRA_VIRTUAL_READER) + " " + arguments;
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

static std::string StateDir() {
    const char* dir = std::getenv("VELDRA_VR_DIR");
    return dir ? dir : "build/virtual-reader";
}

std::string CardFile(const std::string& reader, const std::string& name) {
    return StateDir() + "/pem-" + reader + "/" + name;
}

std::string CardLog(const std::string& reader) {
    std::ifstream in(StateDir() + "/card-" + reader + ".apdu.log");
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

static X509* ReadCertificate(const std::string& reader, const std::string& which) {
    FILE* file = std::fopen(CardFile(reader, which + ".pem").c_str(), "r");
    if (!file) return nullptr;
    X509* cert = PEM_read_X509(file, nullptr, nullptr, nullptr);
    std::fclose(file);
    return cert;
}

Bytes CertificateDer(const std::string& reader, const std::string& which) {
    X509* cert = ReadCertificate(reader, which);
    if (!cert) return {};
    const int length = i2d_X509(cert, nullptr);
    Bytes der(static_cast<size_t>(std::max(length, 0)));
    unsigned char* p = der.data();
    i2d_X509(cert, &p);
    X509_free(cert);
    return der;
}

std::unique_ptr<EVP_PKEY, KeyFree> CertificateKey(const std::string& reader, const std::string& which) {
    X509* cert = ReadCertificate(reader, which);
    if (!cert) return nullptr;
    EVP_PKEY* key = X509_get_pubkey(cert);
    X509_free(cert);
    return std::unique_ptr<EVP_PKEY, KeyFree>(key);
}

bool VerifySignature(EVP_PKEY* key, const EVP_MD* digest, const std::string& message, const Bytes& signature) {
    Bytes der = signature;
    if (EVP_PKEY_is_a(key, "EC")) {
        // r || s to the DER form OpenSSL verifies.
        ECDSA_SIG* sig = ECDSA_SIG_new();
        const int half = static_cast<int>(signature.size() / 2);
        ECDSA_SIG_set0(sig, BN_bin2bn(signature.data(), half, nullptr),
                       BN_bin2bn(signature.data() + half, half, nullptr));
        unsigned char* out = nullptr;
        const int length = i2d_ECDSA_SIG(sig, &out);
        der.assign(out, out + std::max(length, 0));
        OPENSSL_free(out);
        ECDSA_SIG_free(sig);
    }
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    const bool ok = EVP_DigestVerifyInit(ctx, nullptr, digest, nullptr, key) == 1 &&
                    EVP_DigestVerify(ctx, der.data(), der.size(),
                                     reinterpret_cast<const unsigned char*>(message.data()), message.size()) == 1;
    EVP_MD_CTX_free(ctx);
    return ok;
}

Bytes Digest(const EVP_MD* digest, const std::string& message) {
    Bytes out(static_cast<size_t>(EVP_MD_get_size(digest)));
    unsigned int length = 0;
    EVP_Digest(message.data(), message.size(), out.data(), &length, digest, nullptr);
    return out;
}

Bytes Sha256DigestInfo(const Bytes& hash) {
    static const uint8_t prefix[] = {0x30, 0x31, 0x30, 0x0D, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                     0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};
    Bytes info(sizeof prefix + hash.size());
    std::copy(std::begin(prefix), std::end(prefix), info.begin());
    std::copy(hash.begin(), hash.end(), info.begin() + sizeof prefix);
    return info;
}

std::shared_ptr<SZidaZaru::ISCardReader> OpenReader(const std::string& name) {
    auto library = SZidaZaru::SCardFactory().OpenLibrary("");
    return std::dynamic_pointer_cast<SZidaZaru::ISCardReader>(library->GetReader(name));
}

void CardTest::Insert(const std::string& reader, const std::string& options) {
    ASSERT_EQ(Script("insert " + reader + " " + options), 0) << "inserting a card into the " << reader << " reader";
    inserted_.push_back(reader);
}

void CardTest::Remove(const std::string& reader) {
    EXPECT_EQ(Script("remove " + reader), 0);
    inserted_.erase(std::remove(inserted_.begin(), inserted_.end(), reader), inserted_.end());
}

void CardTest::TearDown() {
    for (const std::string& reader : inserted_) Script("remove " + reader);
    inserted_.clear();
}

}  // namespace TestBed
