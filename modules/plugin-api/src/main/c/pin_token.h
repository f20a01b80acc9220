// The PIN token: a PIN sealed with AES-256-GCM under a key derived from the master key, with an expiry.
//
// Blob (little-endian), sent as Base64:
//   0  4  length of the rest (PIN length + 52)     |
//   4  16 salt                                     | additional authenticated data
//   20 12 IV                                       |
//   32 8  expiry, milliseconds since 1970 (signed) |
//   40 16 GCM tag
//   56 n  ciphertext of the PIN
#pragma once

#include <cstdint>
#include <string>

#include "appstate.h"

constexpr int64_t PIN_TOKEN_LIFETIME_MS = 250000;

class PinTokenCipher {
public:
    explicit PinTokenCipher(const uint8_t* masterKey);
    ~PinTokenCipher();
    PinTokenCipher(const PinTokenCipher&) = delete;
    PinTokenCipher& operator=(const PinTokenCipher&) = delete;

    // The token text for pin, valid until expiryMs. Throws std::runtime_error.
    std::string Seal(const std::string& pin, int64_t expiryMs) const;
    // The PIN of a token that is intact, sealed under this master key and not expired.
    // Throws std::runtime_error("invalid mangled string") otherwise.
    std::string Open(const std::string& token) const;

private:
    uint8_t masterKey_[MASTER_KEY_LENGTH];
};
