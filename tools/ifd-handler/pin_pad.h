// The reader's PIN pad: what the keypad reports, and how the reader turns a PC/SC part 10
// PIN_VERIFY_STRUCTURE and the typed digits into the VERIFY command it sends to the card.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace VirtualReader {

using Bytes = std::vector<uint8_t>;

// Status words the reader answers itself, as CCID PIN pad readers do.
enum PinPadStatus : uint16_t {
    kPinTimeout = 0x6400,
    kPinCancelled = 0x6401,
    kPinLengthWrong = 0x6403,
};

struct KeypadEntry {
    enum Outcome : uint8_t { Typed = 0, Cancel = 1, Timeout = 2 } outcome = Timeout;
    std::string digits;  // when Typed
    ~KeypadEntry();
};

// The card process's answer to the keypad question: one outcome byte, then the ASCII digits.
// Anything else reads as a timeout.
KeypadEntry ParseKeypadAnswer(const Bytes& answer);

struct PinVerification {
    bool valid = false;         // the structure could be used
    uint16_t readerStatus = 0;  // non-zero: the reader answers this without asking the card
    Bytes command;              // else: the VERIFY command with the PIN filled in
    ~PinVerification();
};

// structure: the SCardControl input of FEATURE_VERIFY_PIN_DIRECT.
PinVerification BuildVerify(const Bytes& structure, const KeypadEntry& typed);

// Wipes a buffer that held a PIN.
void Wipe(void* data, size_t size);

}  // namespace VirtualReader
