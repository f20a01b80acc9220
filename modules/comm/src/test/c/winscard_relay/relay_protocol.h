// The messages between the test-only winscard.dll (a Windows program's PC/SC calls, under Wine) and
// veldra-winscard-relay (the same calls made on pcsc-lite). Each message is a little-endian u32
// length and that many bytes; a request starts with its call's number, an answer with the call's
// result; then the fields of that call, each a u32 or a byte string (u32 length, bytes). Plain code
// without platform types, compiled into both sides.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace winscardrelay {

enum Call : uint32_t {
    ESTABLISH_CONTEXT = 1,  // scope                                -> context
    RELEASE_CONTEXT,        // context                              -> -
    LIST_READERS,           // context                              -> multi-string
    CONNECT,                // context, reader, share, protocols    -> card, protocol
    DISCONNECT,             // card, disposition                    -> -
    BEGIN_TRANSACTION,      // card                                 -> -
    END_TRANSACTION,        // card, disposition                    -> -
    TRANSMIT,               // card, protocol, command, room        -> response, length wanted
    CONTROL,                // card, Windows code, input, room      -> output, length returned
    GET_STATUS_CHANGE,      // context, timeout, count, (reader, current state) * count
                            //                                      -> (event state, ATR) * count
};

// Reader control codes. pcsc-lite numbers a reader function 0x42000000 + function, and its CCID
// driver the PIN pad features 0x42330000 + feature tag; Windows numbers them CTL_CODE(
// FILE_DEVICE_SMARTCARD 0x31, function, METHOD_BUFFERED, FILE_ANY_ACCESS), a function of 12 bits,
// and a driver gives its PIN pad features functions of its own: here 3500 + tag.
constexpr uint32_t PCSCLITE_CTL_BASE = 0x42000000;
constexpr uint32_t PCSCLITE_CCID_FEATURE_BASE = 0x42330000;
constexpr uint32_t WINDOWS_FEATURE_FUNCTION_BASE = 3500;
constexpr uint32_t windows_ctl_code(uint32_t function) { return 0x31u << 16 | function << 2; }
// The Windows code of a pcsc-lite code; 0 when a Windows driver has none.
constexpr uint32_t pcsclite_to_windows(uint32_t code) {
    if (code >= PCSCLITE_CCID_FEATURE_BASE && code < PCSCLITE_CCID_FEATURE_BASE + 0x100)
        return windows_ctl_code(WINDOWS_FEATURE_FUNCTION_BASE + (code - PCSCLITE_CCID_FEATURE_BASE));
    if (code >= PCSCLITE_CTL_BASE && code < PCSCLITE_CTL_BASE + 0x1000)
        return windows_ctl_code(code - PCSCLITE_CTL_BASE);
    return 0;
}
// The pcsc-lite code of a Windows code; 0 for one that is not a smart-card reader's.
constexpr uint32_t windows_to_pcsclite(uint32_t code) {
    if (code >> 16 != 0x31 || (code & 3) != 0) return 0;
    const uint32_t function = code >> 2 & 0xFFF;
    if (function >= WINDOWS_FEATURE_FUNCTION_BASE && function < WINDOWS_FEATURE_FUNCTION_BASE + 0x100)
        return PCSCLITE_CCID_FEATURE_BASE + (function - WINDOWS_FEATURE_FUNCTION_BASE);
    return PCSCLITE_CTL_BASE + function;
}
static_assert(pcsclite_to_windows(0x42000D48) == 0x00313520, "the feature request");
static_assert(windows_to_pcsclite(pcsclite_to_windows(0x42330006)) == 0x42330006, "a PIN pad feature");

// The answer of a call the relay could not make (a message it cannot read): SCARD_F_INTERNAL_ERROR.
constexpr uint32_t RELAY_FAILURE = 0x80100001;

// A message being written.
struct Writer {
    std::vector<uint8_t> bytes = std::vector<uint8_t>(4, 0);  // the length, filled in by finish()
    Writer& u32(uint32_t v) {
        for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<uint8_t>(v >> (8 * i)));
        return *this;
    }
    Writer& data(const void* p, size_t n) {
        u32(static_cast<uint32_t>(n));
        const auto* b = static_cast<const uint8_t*>(p);
        bytes.insert(bytes.end(), b, b + n);
        return *this;
    }
    Writer& text(const std::string& s) { return data(s.data(), s.size()); }
    const std::vector<uint8_t>& finish() {
        const size_t n = bytes.size() - 4;
        for (int i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>(n >> (8 * i));
        return bytes;
    }
};

// A message being read (without its length); ok turns false at the first field that runs off its end.
struct Reader {
    const std::vector<uint8_t>& bytes;
    size_t at = 0;
    bool ok = true;
    uint32_t u32() {
        if (bytes.size() - at < 4) {
            ok = false;
            return 0;
        }
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(bytes[at + i]) << (8 * i);
        at += 4;
        return v;
    }
    std::vector<uint8_t> data() {
        const uint32_t n = u32();
        if (!ok || bytes.size() - at < n) {
            ok = false;
            return {};
        }
        std::vector<uint8_t> v(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                               bytes.begin() + static_cast<std::ptrdiff_t>(at + n));
        at += n;
        return v;
    }
    std::string text() {
        const std::vector<uint8_t> v = data();
        return std::string(v.begin(), v.end());
    }
};

}  // namespace winscardrelay
