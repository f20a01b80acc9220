// The ISO 7816-4 status words the comm layer acts on, and the halves of a status word.
#pragma once

#include <cstdint>

namespace SZidaZaru::detail {

enum StatusWord : uint32_t {
    kSwSuccess = 0x9000,
    kSwEndOfFileReached = 0x6282,  // end of file reached before Le bytes (with the bytes there were)
    kSwPinPadTimeout = 0x6400,     // the reader's PIN entry timed out
    kSwPinPadCancelled = 0x6401,   // the user cancelled on the reader
    kSwVerifyFailed = 0x63C0,      // wrong PIN; the low nibble counts the tries left
    kSwAuthenticationBlocked = 0x6983,
    kSwWrongOffset = 0x6B00,        // offset beyond the end of the file
    kSwWrongLengthNoHint = 0x6C00,  // 6Cxx with xx = 00
};

// First bytes of status-word families.
enum StatusWordFamily : uint32_t {
    kSw1MoreData = 0x61,     // 61xx: xx bytes wait for GET RESPONSE
    kSw1WrongLength = 0x6C,  // 6Cxx: send again with Le = xx
};

constexpr uint32_t Sw1(uint32_t sw) { return sw >> 8; }
constexpr uint32_t Sw2(uint32_t sw) { return sw & 0xFF; }
// The length a 61xx or 6Cxx names: xx, where 00 stands for 256.
constexpr unsigned NamedLength(uint32_t sw) { return Sw2(sw) != 0 ? Sw2(sw) : 256; }
constexpr bool IsVerifyFailed(uint32_t sw) { return (sw & 0xFFF0) == kSwVerifyFailed; }

}  // namespace SZidaZaru::detail
