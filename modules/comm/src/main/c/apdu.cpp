#include "apdu.h"

#include <iterator>

namespace SZidaZaru::detail {

namespace {
// VERIFY with key reference 01, a block of 8 bytes holding no digit: the pinpad fills it in.
constexpr uint8_t kVerifyTemplate[] = {0x00, 0x20, 0x00, 0x01, 0x08, 0x20, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
}  // namespace

Bytes EncodeCommand(uint32_t commandWord, const Bytes& data, unsigned le) {
    Bytes command;
    command.reserve(4 + 1 + data.size() + 1);
    for (int shift = 24; shift >= 0; shift -= 8) command.push_back(static_cast<uint8_t>(commandWord >> shift));
    if (!data.empty()) {
        command.push_back(static_cast<uint8_t>(data.size()));
        command.insert(command.end(), data.begin(), data.end());
    }
    if (le != 0) command.push_back(static_cast<uint8_t>(le & 0xFF));
    return command;
}

Bytes EncodePinBlock(const std::string& pin) {
    if (pin.empty() || pin.size() > 14) return {};
    for (char c : pin)
        if (c < '0' || c > '9') return {};
    Bytes block(8, 0xFF);
    block[0] = static_cast<uint8_t>(0x20 + pin.size());
    for (size_t i = 0; i < pin.size(); ++i) {
        const uint8_t digit = static_cast<uint8_t>(pin[i] - '0');
        uint8_t& target = block[1 + i / 2];
        target =
            (i % 2 == 0) ? static_cast<uint8_t>((digit << 4) | 0x0F) : static_cast<uint8_t>((target & 0xF0) | digit);
    }
    return block;
}

std::vector<TlvEntry> ScanTlv(const Bytes& list) {
    std::vector<TlvEntry> entries;
    size_t i = 0;
    while (i + 2 <= list.size()) {
        TlvEntry entry;
        entry.tag = list[i];
        entry.length = list[i + 1];
        entry.valueOffset = i + 2;
        entry.complete = entry.valueOffset + entry.length <= list.size();
        entries.push_back(entry);
        if (!entry.complete) break;
        i = entry.valueOffset + entry.length;
    }
    return entries;
}

Bytes EncodeBcd8(uint32_t value) {
    Bytes out(4, 0);
    for (int i = 3; i >= 0; --i) {
        const uint8_t low = value % 10;
        value /= 10;
        const uint8_t high = value % 10;
        value /= 10;
        out[static_cast<size_t>(i)] = static_cast<uint8_t>((high << 4) | low);
    }
    return out;
}

uint8_t Beid18AlgorithmByte(size_t dataLength) {
    switch (dataLength) {
    case 32: return 0x01;
    case 48: return 0x02;
    case 64: return 0x04;
    default: return 0x40;
    }
}

Bytes PinVerifyStructure() {
    Bytes s = {
        0x00,                    // bTimerOut: the reader's default for the first key
        0x1E,                    // bTimerOut2: 30 seconds between keys
        0x89,                    // bmFormatString: bytes, PIN at byte 1, left justified, BCD
        0x47,                    // bmPINBlockString: 4-bit length field, 7-byte PIN block
        0x04,                    // bmPINLengthFormat: length at bit 4 of byte 0
        0x0C, 0x04,              // wPINMaxExtraDigit: 4 to 12 digits
        0x02,                    // bEntryValidationCondition: validation key
        0x01,                    // bNumberMessage
        0x09, 0x04,              // wLangId 0x0409
        0x00,                    // bMsgIndex
        0x00, 0x00, 0x00,        // bTeoPrologue
        0x0D, 0x00, 0x00, 0x00,  // ulDataLength: 13
    };
    s.insert(s.end(), std::begin(kVerifyTemplate), std::end(kVerifyTemplate));
    return s;
}

Bytes EscapePinPadVerifyData() {
    Bytes d = {0x00, 0x89, 0x47, 0x04, 0x0C, 0x04, 0x02, 0x01, 0x04, 0x09, 0x00, 0x00, 0x00, 0x00};
    d.insert(d.end(), std::begin(kVerifyTemplate), std::end(kVerifyTemplate));
    return d;
}

}  // namespace SZidaZaru::detail
