// How the fuzzer reads one input: a 4-byte header that sets up the machine around the host,
// then the bytes of the request.
//
//   byte 0  bit 0: the rest is standard input as it is (length prefix included); otherwise the
//                  rest is the request text and a correct frame is made around it
//           bit 1: no card in the readers        bit 2: the ECDSA card generation
//           bit 3: no readers at all             bits 4-5: what happens on a pinpad
//                  (typed, cancelled, timed out, a wrong PIN typed)
//           bit 6: VELDRA_FORCE_EIDAS2_FAIL=1    bit 7: VELDRA_SKIP_EIDAS2=1
//   byte 1  the PC/SC call that fails, counted from 1 (0: none)
//   byte 2  bits 0-3: what that failure is; bits 4-7: a free value some failures use
//   byte 3  bits 0-2: what the PIN dialog answers; bits 3-4: PIN tries the card has left
//           bit 5: the clock stands before the eIDAS 2.0 rule's start (else after it)
//           bit 6: the card's signature certificate was issued in 2015
//
// A missing header byte counts as 0.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_pcsc.h"

namespace FuzzInput {

enum class Dialog : uint8_t { Pin, Cancel, Blanks, Throws, Letter, TooLong, OnlyBlanks, WrongPin };

struct Input {
    bool rawFrame = false;
    bool forceEidasFail = false;
    bool skipEidas = false;
    bool beforeEidasRule = false;
    FuzzPcsc::Setup pcsc;
    Dialog dialog = Dialog::Pin;
    std::string body;
};

inline Input Parse(const uint8_t* data, size_t size) {
    uint8_t h[4] = {0, 0, 0, 0};
    for (size_t i = 0; i < 4 && i < size; ++i) h[i] = data[i];
    Input in;
    in.rawFrame = h[0] & 0x01;
    in.pcsc.cardPresent = !(h[0] & 0x02);
    in.pcsc.v18 = h[0] & 0x04;
    in.pcsc.noReaders = h[0] & 0x08;
    in.pcsc.pinPad = static_cast<FuzzPcsc::PinPad>((h[0] >> 4) & 0x03);
    in.forceEidasFail = h[0] & 0x40;
    in.skipEidas = h[0] & 0x80;
    in.pcsc.faultAt = h[1];
    in.pcsc.faultKind = h[2] & 0x0F;
    in.pcsc.faultByte = static_cast<uint8_t>(h[2] >> 4 | (h[2] & 0xF0));
    in.dialog = static_cast<Dialog>(h[3] & 0x07);
    static const int tries[] = {3, 1, 2, 0};
    in.pcsc.tries = tries[(h[3] >> 3) & 0x03];
    in.beforeEidasRule = h[3] & 0x20;
    in.pcsc.oldCertificate = h[3] & 0x40;
    if (size > 4) in.body.assign(reinterpret_cast<const char*>(data) + 4, size - 4);
    return in;
}

}  // namespace FuzzInput
