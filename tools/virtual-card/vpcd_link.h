// The link to vsmartcard's vpcd reader driver: the card is the TCP client, every message both
// ways is a 2-byte big-endian length and the payload. A 1-byte message from the driver is a
// control code (power off, power on, reset, get ATR); longer ones are command APDUs.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace VirtualCard {

class VpcdLink {
public:
    // Connects to host:port, retrying until timeoutMs has passed (the driver listens once pcscd
    // has loaded it). Throws std::runtime_error when it cannot.
    VpcdLink(const std::string& host, uint16_t port, int timeoutMs);
    ~VpcdLink();
    VpcdLink(const VpcdLink&) = delete;
    VpcdLink& operator=(const VpcdLink&) = delete;

    // The next message; nothing when the driver closed the connection.
    std::optional<std::vector<uint8_t>> Receive();
    void Send(const std::vector<uint8_t>& payload);
    // Closes the connection at once, as a card pulled from the reader.
    void Close();

private:
    bool ReadExactly(uint8_t* buffer, size_t length);
    int fd_ = -1;
};

}  // namespace VirtualCard
