#include "pin_pad.h"

#include <cstring>

namespace VirtualReader {
namespace {
// PIN_VERIFY_STRUCTURE offsets (multi-byte fields little-endian).
constexpr size_t kFormatString = 2, kPinBlockString = 3, kPinLengthFormat = 4, kMaxExtraDigit = 5, kDataLength = 15,
                 kData = 19;
constexpr size_t kApduHeader = 5;  // CLA INS P1 P2 Lc before the PIN block
}  // namespace

void Wipe(void* data, size_t size) {
    if (size != 0) explicit_bzero(data, size);
}

KeypadEntry::~KeypadEntry() { Wipe(digits.data(), digits.size()); }
PinVerification::~PinVerification() { Wipe(command.data(), command.size()); }

KeypadEntry ParseKeypadAnswer(const Bytes& answer) {
    KeypadEntry entry;
    if (answer.empty() || answer[0] > KeypadEntry::Timeout) return entry;
    entry.outcome = static_cast<KeypadEntry::Outcome>(answer[0]);
    for (size_t i = 1; i < answer.size(); ++i) {
        if (answer[i] < '0' || answer[i] > '9') {
            entry.outcome = KeypadEntry::Timeout;
            break;
        }
        entry.digits.push_back(static_cast<char>(answer[i]));
    }
    return entry;
}

PinVerification BuildVerify(const Bytes& structure, const KeypadEntry& typed) {
    PinVerification result;
    if (structure.size() < kData + kApduHeader) return result;
    const size_t dataLength = structure[kDataLength] | structure[kDataLength + 1] << 8 |
                              static_cast<size_t>(structure[kDataLength + 2]) << 16 |
                              static_cast<size_t>(structure[kDataLength + 3]) << 24;
    if (dataLength != structure.size() - kData || dataLength < kApduHeader) return result;
    const uint8_t format = structure[kFormatString];
    const uint8_t blockString = structure[kPinBlockString];
    const uint8_t lengthFormat = structure[kPinLengthFormat];
    // Only what a byte-unit, left-justified BCD layout needs; others are refused.
    if (!(format & 0x80) || (format & 0x04) || (format & 0x03) != 0x01 || (lengthFormat & 0x10)) return result;
    const size_t pinOffset = (format >> 3) & 0x0F;    // bytes into the block
    const size_t lengthBits = blockString >> 4;       // size of the PIN length field in bits
    const size_t blockSize = blockString & 0x0F;      // bytes of the PIN block after its start
    const size_t lengthOffset = lengthFormat & 0x0F;  // bit position of the length field
    const unsigned minDigits = structure[kMaxExtraDigit + 1];
    const unsigned maxDigits = structure[kMaxExtraDigit];
    result.command.assign(structure.begin() + kData, structure.end());
    Bytes& block = result.command;
    if (kApduHeader + pinOffset + blockSize > block.size() || lengthOffset + lengthBits > 8) {
        result.command.clear();
        return result;
    }
    result.valid = true;
    if (typed.outcome == KeypadEntry::Cancel) result.readerStatus = kPinCancelled;
    if (typed.outcome == KeypadEntry::Timeout) result.readerStatus = kPinTimeout;
    if (result.readerStatus) return result;
    const size_t n = typed.digits.size();
    if (n < minDigits || n > maxDigits || n > blockSize * 2 || (lengthBits && n >= (1u << lengthBits))) {
        result.readerStatus = kPinLengthWrong;
        return result;
    }
    uint8_t* pin = &block[kApduHeader + pinOffset];
    for (size_t i = 0; i < n; ++i) {
        const uint8_t digit = static_cast<uint8_t>(typed.digits[i] - '0');
        pin[i / 2] = i % 2 == 0 ? static_cast<uint8_t>((pin[i / 2] & 0x0F) | digit << 4)
                                : static_cast<uint8_t>((pin[i / 2] & 0xF0) | digit);
    }
    if (lengthBits) {
        // The length field counts bits from the most significant bit of the block's first byte.
        const unsigned shift = static_cast<unsigned>(8 - lengthOffset - lengthBits);
        const uint8_t mask = static_cast<uint8_t>(((1u << lengthBits) - 1) << shift);
        block[kApduHeader] = static_cast<uint8_t>((block[kApduHeader] & ~mask) | (n << shift & mask));
    }
    return result;
}

}  // namespace VirtualReader
