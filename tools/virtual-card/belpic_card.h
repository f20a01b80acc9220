// The emulated identity card: its file system, PIN, security environment and signatures, as
// an APDU processor. Also answers the escape commands a pinpad reader of the escape class
// takes, when told to act as one.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "card_files.h"
#include "card_keys.h"

namespace VirtualCard {

enum class PinPadOutcome { Typed, Cancel, Timeout };

// How READ BINARY answers an Le beyond the end of the file (fewer bytes left than asked for).
enum class ShortRead {
    WrongLength,  // 6Cxx with the number of bytes left, no data: a T=0 card (the default)
    EndOfFile,    // the bytes left and 6282 ("end of file reached before Le bytes")
    Lenient,      // the bytes left and 9000
};

struct CardOptions {
    Generation generation = Generation::Classic;
    std::string pin = "1234";
    int tries = 3;
    bool escapePinPad = false;  // answer the reader's escape PIN command
    std::string pinPadPin;      // what the user "types" on the reader; default: the card PIN
    PinPadOutcome pinPadOutcome = PinPadOutcome::Typed;
    ShortRead shortRead = ShortRead::WrongLength;
    TokenInfoForm tokenInfo = TokenInfoForm::Short;
    size_t signatureExtra = 0;             // bytes answered after each signature (a hostile card)
    size_t signatureCertificateBytes = 0;  // the signature certificate file cut to this length; 0: whole
};

class BelpicCard {
public:
    BelpicCard(CardOptions options, CardKeys keys);

    // One command APDU to its response (data and status word).
    Bytes Process(const Bytes& apdu);
    // What the user did on the reader's keypad: one byte (0 typed, 1 cancelled, 2 timed out),
    // then the digits typed. For a reader that builds the VERIFY itself (a CCID PIN pad).
    Bytes Keypad();
    // Power off or reset: the PIN verification, selection and environment are forgotten.
    void Reset();
    // A line for the card's log describing the last command, without any PIN digit.
    const std::string& LastLogLine() const { return logLine_; }

private:
    Bytes Select(uint8_t p1, const Bytes& data);
    Bytes ReadBinary(uint8_t p1, uint8_t p2, unsigned le);
    Bytes Verify(const Bytes& block);
    Bytes CheckPin(const std::string& candidate);
    Bytes SetEnvironment(uint8_t p1, uint8_t p2, const Bytes& data);
    Bytes ComputeSignature(const Bytes& data);
    Bytes GetResponse(unsigned le);
    Bytes Escape(uint32_t command, const Bytes& data);
    Bytes Answer(const Bytes& data);  // queues data for GET RESPONSE, answers 61xx

    CardOptions options_;
    CardKeys keys_;
    std::map<std::string, Bytes> files_;  // by full path from the MF, raw bytes
    std::string currentDf_;
    std::string currentEf_;  // empty: none selected
    int triesLeft_;
    bool verified_ = false;
    int keyRef_ = 0;  // 0: no environment set
    uint8_t algorithm_ = 0;
    Bytes pending_;  // data waiting for GET RESPONSE
    std::string logLine_;
};

}  // namespace VirtualCard
