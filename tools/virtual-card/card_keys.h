// The emulated card's keys and certificate chain, made with OpenSSL when the card starts: a test
// root CA, an intermediate CA and the card holder's signature and authentication certificates.
#pragma once

#include <openssl/evp.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace VirtualCard {

using Bytes = std::vector<uint8_t>;

enum class Generation { Classic, V18 };  // RSA-2048 keys, or ECDSA P-384 keys

struct KeyDeleter {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyDeleter>;

struct Credential {
    Key key;
    Bytes certificate;  // DER
};

struct CardKeys {
    Credential root, intermediate, signature, authentication;
};

// signatureNotBefore: "" for now, else an ASN.1 time text "YYYYMMDDHHMMSSZ". keyCache: a folder
// whose keys are used (and where new ones are kept), "" for new keys. The certificates are made
// anew each time, with serial numbers of their own. Throws std::runtime_error naming the failing step.
CardKeys MakeCardKeys(Generation generation, const std::string& signatureNotBefore, const std::string& keyCache = "");

// Writes root.pem, intermediate.pem, signature.pem and authentication.pem into directory.
void WriteCertificatesPem(const CardKeys& keys, const std::string& directory);

// The card's signature over data exactly as given: RSA PKCS #1 v1.5 (block type 1) for an RSA
// key, ECDSA over data as the digest, r || s, for an EC key. Empty when the key cannot sign it.
Bytes CardSign(EVP_PKEY* key, const Bytes& data);

}  // namespace VirtualCard
