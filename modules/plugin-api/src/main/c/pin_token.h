// The PIN token: a PIN sealed with AES-256-GCM under a key derived from the master key, with an expiry.
//
// Blob (little-endian), sent as Base64:
//   0  4  length of the rest (PIN length + 52)     |
//   4  16 salt                                     | additional authenticated data
//   20 12 IV                                       |
//   32 8  expiry, milliseconds since 1970 (signed) |
//   40 16 GCM tag
//   56 n  ciphertext of the PIN
// The GCM additional data is the first 40 bytes followed by the token's binding (the card, the
// calling origin and, when a request names it, the requesting site: pin_token_binding), which the
// blob does not carry: a token opens only where it was made.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "appstate.h"
#include "secret.h"

constexpr int64_t PIN_TOKEN_LIFETIME_MS = 250000;

// What a token is bound to: the card's identity (its serial number), the calling origin and the
// requesting site (none when site is null), each preceded by its length, so that no two of these
// give the same text; a binding with a site is never one without.
std::string pin_token_binding(const std::vector<uint8_t>& cardIdentity, const std::string& origin,
                              const char* site = nullptr);

class PinTokenCipher {
public:
    explicit PinTokenCipher(const uint8_t* masterKey);
    ~PinTokenCipher();
    PinTokenCipher(const PinTokenCipher&) = delete;
    PinTokenCipher& operator=(const PinTokenCipher&) = delete;

    // The token text for pin, valid until expiryMs, bound to binding. Throws std::runtime_error.
    std::string Seal(const Utils::Secret& pin, int64_t expiryMs, const std::string& binding) const;
    // The PIN of a token that is intact, sealed under this master key with this binding and not
    // expired. Throws std::runtime_error("invalid mangled string") otherwise.
    Utils::Secret Open(const Utils::Secret& token, const std::string& binding) const;

private:
    uint8_t masterKey_[MASTER_KEY_LENGTH];
};
