#include "vpcd_link.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <thread>

namespace VirtualCard {

VpcdLink::VpcdLink(const std::string& host, uint16_t port, int timeoutMs) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    if (inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1)
        throw std::runtime_error("invalid host address " + host);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd_ < 0) throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
        if (connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) break;
        const int error = errno;
        close(fd_);
        fd_ = -1;
        if (std::chrono::steady_clock::now() >= deadline)
            throw std::runtime_error("cannot connect to the reader driver at " + host + ":" + std::to_string(port) +
                                     ": " + std::strerror(error));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    const int one = 1;
    setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

VpcdLink::~VpcdLink() { Close(); }

void VpcdLink::Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
}

bool VpcdLink::ReadExactly(uint8_t* buffer, size_t length) {
    size_t done = 0;
    while (done < length) {
        // The driver sends length and payload in two writes without TCP_NODELAY: an ACK delayed
        // by us would hold its second write for ~40 ms. Quick ACK mode is re-armed before every read.
        const int one = 1;
        setsockopt(fd_, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
        const ssize_t n = recv(fd_, buffer + done, length - done, 0);
        if (n == 0) return false;
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

std::optional<std::vector<uint8_t>> VpcdLink::Receive() {
    if (fd_ < 0) return std::nullopt;
    uint8_t header[2];
    if (!ReadExactly(header, 2)) return std::nullopt;
    std::vector<uint8_t> payload(static_cast<size_t>(header[0]) << 8 | header[1]);
    if (!payload.empty() && !ReadExactly(payload.data(), payload.size())) return std::nullopt;
    return payload;
}

void VpcdLink::Send(const std::vector<uint8_t>& payload) {
    if (fd_ < 0) return;
    std::vector<uint8_t> frame;
    frame.reserve(payload.size() + 2);
    frame.push_back(static_cast<uint8_t>(payload.size() >> 8));
    frame.push_back(static_cast<uint8_t>(payload.size()));
    frame.insert(frame.end(), payload.begin(), payload.end());
    size_t done = 0;
    while (done < frame.size()) {
        const ssize_t n = send(fd_, frame.data() + done, frame.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // the driver went away; the next Receive sees it
        done += static_cast<size_t>(n);
    }
}

}  // namespace VirtualCard
