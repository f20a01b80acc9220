// What the signature commands send to the card, and the eIDAS 2.0 rule for qualified signatures.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "scard_comm.h"

// Milliseconds since 1970-01-01 00:00:00 UTC.
inline constexpr int64_t EIDAS2_RULE_START_MS = 1779415201000;       // 2026-05-22 02:00:01
inline constexpr int64_t EIDAS2_QUALIFIED_LIMIT_MS = 1467331200000;  // 2016-07-01 00:00:00
inline constexpr int EIDAS2_CARD_TYPE = SZidaZaru::kCardBelpic;
inline constexpr char EIDAS2_CERTIFICATE_PATH[] = "\x3F\x00\xDF\x00\x50\x39";  // the signature certificate

// The PKCS #1 DigestInfo of a SHA-1, SHA-256 or SHA-512 hash; code 7 naming hashText for any
// other length.
std::vector<uint8_t> digest_info(const std::vector<uint8_t>& hash, const std::string& hashText);

// Whether the ATR is one of the 1.8 card generation, which signs the bare hash.
bool is_beid18_atr(const std::vector<uint8_t>& atr);

inline constexpr int64_t NOT_BEFORE_NOT_IN_BYTES = -2;

// Milliseconds from 1970 to the notBefore of the DER certificate that bytes begin (bytes may be
// only its first part); NOT_BEFORE_NOT_IN_BYTES when the date is not wholly in bytes, -1 when it is
// there but unusable.
int64_t certificate_not_before_ms(const std::vector<uint8_t>& bytes);

// The eIDAS 2.0 rule, for every use of the signature key (signatureKey): after its start date a
// signature certificate issued before 2016-07-01 is refused (code 1). Skipped for the other key and
// with VELDRA_SKIP_EIDAS2=1; forced to fail with VELDRA_FORCE_EIDAS2_FAIL=1. Reads the whole
// certificate, which OpenSSL must parse to the end its DER length announces: one cut off is refused
// (code 99, as an unreadable date) even where its date can be seen.
void eidas2_check(SZidaZaru::ISCardReader& reader, const std::string& readerName, bool signatureKey);
