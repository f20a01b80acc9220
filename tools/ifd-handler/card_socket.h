// The card side of one virtual reader: a TCP port on 127.0.0.1 where the emulated card connects
// (inserted) and hangs up (removed). Messages both ways are a 2-byte big-endian length and the
// payload, as with vsmartcard's vpcd, so the same card program serves both drivers: a 1-byte
// message to the card is a control code, a longer one a command APDU.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace VirtualReader {

using Bytes = std::vector<uint8_t>;

// Control codes to the card.
enum CardControl : uint8_t {
    kPowerOff = 0x00,
    kPowerOn = 0x01,
    kReset = 0x02,
    kGetAtr = 0x04,
    kKeypad = 0x10,  // the keys typed on the reader's PIN pad (answered by the card process)
};

class CardSocket {
public:
    ~CardSocket();
    // Listens on 127.0.0.1:port; false when the port cannot be taken.
    bool Listen(uint16_t port);
    // Takes a waiting card, if any, and tells whether a card is connected; a card that hung up
    // is dropped.
    bool Present();
    // One message to the card and its answer; nothing when the card went away (it is dropped).
    std::optional<Bytes> Ask(const Bytes& message, int timeoutMs);
    // A message that gets no answer.
    bool Tell(const Bytes& message);
    void DropCard();
    void Close();

private:
    bool ReadExactly(uint8_t* buffer, size_t length, int timeoutMs);
    int listener_ = -1;
    int card_ = -1;
};

}  // namespace VirtualReader
