#include "card_socket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace VirtualReader {

CardSocket::~CardSocket() { Close(); }

bool CardSocket::Listen(uint16_t port) {
    Close();
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (listener_ < 0) return false;
    const int one = 1;
    setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(listener_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener_, 1) != 0) {
        Close();
        return false;
    }
    return true;
}

void CardSocket::DropCard() {
    if (card_ >= 0) close(card_);
    card_ = -1;
}

void CardSocket::Close() {
    DropCard();
    if (listener_ >= 0) close(listener_);
    listener_ = -1;
}

bool CardSocket::Present() {
    if (card_ >= 0) {
        uint8_t byte;
        const ssize_t n = recv(card_, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) DropCard();
    }
    if (card_ < 0 && listener_ >= 0) {
        card_ = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (card_ >= 0) {
            const int one = 1;
            setsockopt(card_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        }
    }
    return card_ >= 0;
}

bool CardSocket::ReadExactly(uint8_t* buffer, size_t length, int timeoutMs) {
    size_t done = 0;
    while (done < length) {
        pollfd p{card_, POLLIN, 0};
        const int ready = poll(&p, 1, timeoutMs);
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return false;
        const ssize_t n = recv(card_, buffer + done, length - done, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

bool CardSocket::Tell(const Bytes& message) {
    if (card_ < 0 || message.size() > 0xFFFF) return false;
    Bytes frame{static_cast<uint8_t>(message.size() >> 8), static_cast<uint8_t>(message.size())};
    frame.insert(frame.end(), message.begin(), message.end());
    size_t done = 0;
    while (done < frame.size()) {
        const ssize_t n = send(card_, frame.data() + done, frame.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            DropCard();
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

std::optional<Bytes> CardSocket::Ask(const Bytes& message, int timeoutMs) {
    if (!Tell(message)) return std::nullopt;
    uint8_t header[2];
    if (!ReadExactly(header, 2, timeoutMs)) {
        DropCard();
        return std::nullopt;
    }
    Bytes answer(static_cast<size_t>(header[0]) << 8 | header[1]);
    if (!answer.empty() && !ReadExactly(answer.data(), answer.size(), timeoutMs)) {
        DropCard();
        return std::nullopt;
    }
    return answer;
}

}  // namespace VirtualReader
