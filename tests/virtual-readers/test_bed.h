// The virtual readers as the tests drive them: inserting and removing emulated cards through
// scripts/virtual-reader, the cards' certificates and logs, and OpenSSL checks of signatures.
#pragma once

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <memory>
#include <string>
#include <vector>

#include "scard_comm.h"

namespace TestBed {

using Bytes = std::vector<uint8_t>;

inline const std::string kPlain = "Veldra Virtual Reader 00 00";
inline const std::string kEscape = "VASCO DIGIPASS 870 00 00";
inline const std::string kBypass = "BOSA BEIDX 00 00";
inline const std::string kCcid = "APG8201 00 00";  // our own driver: one slot

// scripts/virtual-reader with these arguments; its exit status.
int Script(const std::string& arguments);

// The path of a file of the card in reader ("plain", "escape", "bypass") in the state directory.
std::string CardFile(const std::string& reader, const std::string& name);
std::string CardLog(const std::string& reader);

// DER of one of the card's PEM certificates ("signature", "authentication", ...).
Bytes CertificateDer(const std::string& reader, const std::string& which);

struct KeyFree {
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
std::unique_ptr<EVP_PKEY, KeyFree> CertificateKey(const std::string& reader, const std::string& which);

// Verifies a card signature over message: RSA PKCS #1 v1.5, or ECDSA given as r || s.
bool VerifySignature(EVP_PKEY* key, const EVP_MD* digest, const std::string& message, const Bytes& signature);

Bytes Digest(const EVP_MD* digest, const std::string& message);
// The PKCS #1 DigestInfo of a SHA-256 hash.
Bytes Sha256DigestInfo(const Bytes& hash);

// The reader, opened fresh.
std::shared_ptr<SZidaZaru::ISCardReader> OpenReader(const std::string& name);

// Inserts cards through the script and removes them again when the test ends.
class CardTest : public ::testing::Test {
protected:
    void Insert(const std::string& reader, const std::string& options = "");
    void Remove(const std::string& reader);
    void TearDown() override;

private:
    std::vector<std::string> inserted_;
};

}  // namespace TestBed
