// Byte-level building blocks of the card commands: command encoding, the PIN block, TLV
// scanning and the other small encodings, free of any PC/SC call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace SZidaZaru::detail {

using Bytes = std::vector<uint8_t>;

// Header bytes of the command word (most significant first), then Lc and the data when there is
// data, then Le when le is non-zero (256 is sent as 00). data must hold at most 255 bytes.
Bytes EncodeCommand(uint32_t commandWord, const Bytes& data, unsigned le);

// The 8-byte VERIFY block: 0x20 + number of digits, the digits two per byte (first digit in the
// high nibble, an odd last digit followed by F), FF filling. Empty when pin is not 1 to 14 ASCII
// digits.
Bytes EncodePinBlock(const std::string& pin);

// One entry of a tag-length-value list with one-byte tags and lengths.
struct TlvEntry {
    uint8_t tag = 0;
    size_t length = 0;  // the length byte
    size_t valueOffset = 0;
    bool complete = false;  // the whole value lies inside the list
};
// The entries in order; a last entry whose value is cut off is included with complete false.
std::vector<TlvEntry> ScanTlv(const Bytes& list);

// The 8 BCD digits of value (at most 99999999) in 4 bytes, most significant first.
Bytes EncodeBcd8(uint32_t value);

// The algorithm byte of the security environment of a 1.8 card for data of that length.
uint8_t Beid18AlgorithmByte(size_t dataLength);

// The 32-byte PIN verify structure sent with FEATURE_VERIFY_PIN_DIRECT.
Bytes PinVerifyStructure();
// The 27 bytes of the escape command that makes a pinpad reader ask for the PIN.
Bytes EscapePinPadVerifyData();

}  // namespace SZidaZaru::detail
