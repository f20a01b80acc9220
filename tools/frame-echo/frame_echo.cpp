// The smallest native messaging host: reads one frame (native-endian 32-bit length, then the text)
// from standard input, writes the same frame back to standard output and exits. It does nothing
// else, so a benchmark that registers it like the real host measures the browser's own cost of
// starting a host and passing one message each way.
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {

constexpr std::uint32_t max_frame = 1024 * 1024;  // the browser refuses larger answers anyway

bool read_all(int fd, char* data, std::size_t size) {
    while (size > 0) {
        ssize_t n = ::read(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool write_all(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

int main() {
    // The browser may close our standard output first; a failed write must not kill us.
    std::signal(SIGPIPE, SIG_IGN);

    std::uint32_t length = 0;
    if (!read_all(STDIN_FILENO, reinterpret_cast<char*>(&length), sizeof length) || length > max_frame) return 1;
    std::string frame(sizeof length + length, '\0');
    std::memcpy(frame.data(), &length, sizeof length);
    if (!read_all(STDIN_FILENO, frame.data() + sizeof length, length)) return 1;
    return write_all(STDOUT_FILENO, frame.data(), frame.size()) ? 0 : 1;
}
