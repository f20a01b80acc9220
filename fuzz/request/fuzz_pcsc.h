// An in-process PC/SC library for the fuzzer: four readers (a plain one, an escape-class and a
// CCID pinpad reader, a reader that skips the PIN) holding one emulated identity card, with one
// fault injected at a chosen call. It keeps count of the contexts, card connections and
// transactions the host holds, so that a handle left open is found after every request.
#pragma once

#include <cstdint>
#include <string>

namespace FuzzPcsc {

// What the card holder's PIN is: the card's, the one typed on a pinpad and the one the fuzzer's
// dialog answers. Never appears in the host's log.
constexpr const char* kCardPin = "591847";

enum class PinPad : uint8_t { Typed, Cancel, Timeout, Wrong };

struct Setup {
    bool noReaders = false;  // SCardListReaders answers "no readers"
    bool cardPresent = true;
    bool v18 = false;             // the ECDSA card generation (else RSA)
    bool oldCertificate = false;  // the RSA card's signature certificate dates from 2015
    int tries = 3;                // PIN tries the card starts with
    PinPad pinPad = PinPad::Typed;
    unsigned faultAt = 0;    // the number of the PC/SC call that fails (1 the first; 0 none)
    unsigned faultKind = 0;  // what that failure is (any value; taken modulo the kinds)
    uint8_t faultByte = 0;   // a free byte some kinds use (a status word's second byte, a length)
};

// Makes both card generations' keys; call once before the first Begin.
void Init();
// A fresh card in fresh readers, no handle open.
void Begin(const Setup& setup);
// What is still open (contexts, connections, transactions), "" when nothing is.
std::string OpenHandles();
// The number of PC/SC calls since Begin.
unsigned Calls();

}  // namespace FuzzPcsc
