#include "extension_io.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "log.h"
#include "veldra_assert.h"

namespace {

using Clock = std::chrono::steady_clock;

// Pause between reads at end of input, so that a closed stream does not spin a core.
constexpr auto END_OF_INPUT_PAUSE = std::chrono::milliseconds(50);

int remaining_ms(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(left);
}

void write_all(int fd, const void* data, size_t length) {
    const auto* p = static_cast<const uint8_t*>(data);
    while (length > 0) {
        const ssize_t n = ::write(fd, p, length);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // output errors are ignored
        p += n;
        length -= static_cast<size_t>(n);
    }
}

}  // namespace

void extension_set_binary_mode(int) {}

size_t extension_read_bytes(uint8_t* buffer, size_t count) {
    VELDRA_ASSERT(buffer);
    extension_set_binary_mode(STDIN_FILENO);
    const auto deadline = Clock::now() + std::chrono::seconds(EXTENSION_READ_WINDOW_SECONDS);
    size_t stored = 0;
    while (stored < count) {
        const int wait = remaining_ms(deadline);
        if (wait == 0) break;
        pollfd fd{STDIN_FILENO, POLLIN, 0};
        const int ready = poll(&fd, 1, wait);
        if (ready < 0 && errno != EINTR) break;
        if (ready <= 0) continue;
        // Reads only what the frame still needs: bytes after it stay unread.
        const ssize_t n = ::read(STDIN_FILENO, buffer + stored, count - stored);
        if (n > 0) {
            stored += static_cast<size_t>(n);
        } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
            std::this_thread::sleep_for(std::min<Clock::duration>(END_OF_INPUT_PAUSE, deadline - Clock::now()));
        }
    }
    return stored;
}

char* extension_read_request() {
    uint8_t prefix[4];
    const size_t received = extension_read_bytes(prefix, sizeof prefix);
    if (received < sizeof prefix) {
        LOG_DEBUG("Error reading request length. Received %d byte(s), expected %d", static_cast<int>(received), 4);
        return nullptr;
    }
    const uint32_t length = static_cast<uint32_t>(prefix[0]) | static_cast<uint32_t>(prefix[1]) << 8 |
                            static_cast<uint32_t>(prefix[2]) << 16 | static_cast<uint32_t>(prefix[3]) << 24;
    if (length >= EXTENSION_MAX_REQUEST) {
        LOG_DEBUG("Request length exceeds maximum of %d bytes", static_cast<int>(EXTENSION_MAX_REQUEST));
        return nullptr;
    }
    auto* text = static_cast<char*>(std::malloc(static_cast<size_t>(length) + 1));
    if (!text) {
        LOG_DEBUG("Failed to allocate memory size %d", static_cast<int>(length));
        return nullptr;
    }
    const size_t got = extension_read_bytes(reinterpret_cast<uint8_t*>(text), length);
    if (got < length) {
        LOG_DEBUG("Error reading request data. Received %d byte(s), expected %d", static_cast<int>(got),
                  static_cast<int>(length));
        std::free(text);
        return nullptr;
    }
    text[length] = '\0';
    return text;
}

void extension_write_response(const char* data) {
    VELDRA_ASSERT(data);
    extension_set_binary_mode(STDOUT_FILENO);
    const uint32_t length = static_cast<uint32_t>(std::strlen(data));
    const uint8_t prefix[4] = {static_cast<uint8_t>(length), static_cast<uint8_t>(length >> 8),
                               static_cast<uint8_t>(length >> 16), static_cast<uint8_t>(length >> 24)};
    write_all(STDOUT_FILENO, prefix, sizeof prefix);
    write_all(STDOUT_FILENO, data, length);
    LOG_DEBUG("sent length [%d]", static_cast<int>(length));
    LOG_DEBUG("sent [%s]", log_mask_secrets(data).c_str());
}
