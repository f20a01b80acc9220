// Frame byte channels on POSIX: poll() bounds every wait by the read window; the end of the input
// ends the read at once.
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>

#include "extension_io.h"
#include "extension_io_platform.h"
#include "veldra_assert.h"

namespace {

using Clock = std::chrono::steady_clock;

// Pause before trying again when a non-blocking stream had nothing after all, so that it does not
// spin a core.
constexpr auto RETRY_PAUSE = std::chrono::milliseconds(50);

int remaining_ms(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(left);
}

}  // namespace

// POSIX streams carry bytes as they are: there is no text mode to leave.
void extension_set_binary_mode(int) {}

void extension_end_reading() {}

size_t extension_read_bytes(uint8_t* buffer, size_t count) {
    VELDRA_ASSERT(buffer);
    extension_set_binary_mode(EXTENSION_STDIN);
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
            break;  // end of input (or a stream that failed): nothing more will come
        } else if (errno == EAGAIN) {
            std::this_thread::sleep_for(std::min<Clock::duration>(RETRY_PAUSE, deadline - Clock::now()));
        }
    }
    return stored;
}

void extension_write_bytes(const void* data, size_t length) {
    const auto* p = static_cast<const uint8_t*>(data);
    while (length > 0) {
        const ssize_t n = ::write(STDOUT_FILENO, p, length);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        p += n;
        length -= static_cast<size_t>(n);
    }
}
