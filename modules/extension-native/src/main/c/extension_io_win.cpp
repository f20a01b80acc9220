// Frame byte channels on Windows: both streams in binary mode (no CR/LF translation, no Ctrl-Z as
// end of file). The end of the input ends a read at once; the read window bounds every other wait:
// a pipe is peeked before it is read; where it cannot be peeked (Wine's pipes), the blocking read
// runs on a helper thread that is waited for until the window closes, and abandoned with its own
// buffer when it does.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "extension_io.h"
#include "extension_io_platform.h"
#include "veldra_assert.h"

namespace {

using Clock = std::chrono::steady_clock;

// Pause while an open pipe has nothing to read yet.
constexpr auto EMPTY_PIPE_PAUSE = std::chrono::milliseconds(2);

// The process's standard handle itself (the C runtime's descriptor table is not needed to read or
// write raw bytes).
HANDLE stream_handle(int fd) {
    HANDLE handle = GetStdHandle(fd == EXTENSION_STDIN ? STD_INPUT_HANDLE : STD_OUTPUT_HANDLE);
    if (handle == INVALID_HANDLE_VALUE || handle == nullptr) handle = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    return handle;
}

void pause_until(Clock::duration pause, Clock::time_point deadline) {
    const auto left = deadline - Clock::now();
    if (left > Clock::duration::zero()) std::this_thread::sleep_for(std::min(pause, left));
}

// Bytes that can be read from the pipe without blocking; -1 once the writer has closed it.
long pipe_available(HANDLE pipe) {
    DWORD available = 0;
    if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr)) return -1;
    return static_cast<long>(std::min<DWORD>(available, 0x7FFFFFFF));
}

// One blocking read of a helper thread; shared with it, so that an abandoned read stays harmless.
struct BlockingRead {
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
    bool ok = false;
    std::vector<uint8_t> data;
};

// Reads up to wanted bytes before deadline: the bytes got (none at end of input or on failure);
// timedOut says that the window closed first.
std::vector<uint8_t> read_until(HANDLE input, DWORD wanted, Clock::time_point deadline, bool& timedOut) {
    auto read = std::make_shared<BlockingRead>();
    read->data.resize(wanted);
    std::thread([read, input, wanted] {
        DWORD got = 0;
        const bool ok = ReadFile(input, read->data.data(), wanted, &got, nullptr);
        std::lock_guard<std::mutex> lock(read->mutex);
        read->data.resize(ok ? got : 0);
        read->ok = ok;
        read->done = true;
        read->finished.notify_all();
    }).detach();
    std::unique_lock<std::mutex> lock(read->mutex);
    timedOut = !read->finished.wait_until(lock, deadline, [&] { return read->done; });
    return timedOut ? std::vector<uint8_t>() : read->data;
}

}  // namespace

void extension_set_binary_mode(int fd) { _setmode(fd, _O_BINARY); }

size_t extension_read_bytes(uint8_t* buffer, size_t count) {
    VELDRA_ASSERT(buffer);
    extension_set_binary_mode(EXTENSION_STDIN);
    const HANDLE input = stream_handle(EXTENSION_STDIN);
    const bool pipe = input != INVALID_HANDLE_VALUE && GetFileType(input) == FILE_TYPE_PIPE;
    bool peekable = true;
    const auto deadline = Clock::now() + std::chrono::seconds(EXTENSION_READ_WINDOW_SECONDS);
    size_t stored = 0;
    while (stored < count && Clock::now() < deadline) {
        if (input == INVALID_HANDLE_VALUE || input == nullptr) break;  // no input at all
        // Reads only what the frame still needs: bytes after it stay unread.
        DWORD wanted = static_cast<DWORD>(std::min<size_t>(count - stored, 0x10000));
        bool blocking = pipe && !peekable;
        if (pipe && peekable) {
            const long available = pipe_available(input);
            if (available == 0) {
                pause_until(EMPTY_PIPE_PAUSE, deadline);
                continue;
            }
            if (available > 0) {
                wanted = std::min<DWORD>(wanted, static_cast<DWORD>(available));
            } else {
                // A closed pipe may still hold bytes, which a read returns; a pipe that cannot be
                // peeked at all is read blocking from now on.
                if (GetLastError() != ERROR_BROKEN_PIPE) peekable = false;
                blocking = true;
            }
        }
        if (blocking) {
            bool timedOut = false;
            const std::vector<uint8_t> got = read_until(input, wanted, deadline, timedOut);
            if (timedOut) break;
            if (got.empty()) break;  // end of input, or a pipe that failed
            std::copy(got.begin(), got.end(), buffer + stored);
            stored += got.size();
            continue;
        }
        DWORD got = 0;
        if (!ReadFile(input, buffer + stored, wanted, &got, nullptr) || got == 0) break;  // end of input
        stored += got;
    }
    return stored;
}

void extension_write_bytes(const void* data, size_t length) {
    const HANDLE output = stream_handle(EXTENSION_STDOUT);
    if (output == INVALID_HANDLE_VALUE || output == nullptr) return;
    const auto* p = static_cast<const uint8_t*>(data);
    while (length > 0) {
        DWORD written = 0;
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(length, 0x10000));
        if (!WriteFile(output, p, chunk, &written, nullptr) || written == 0) return;
        p += written;
        length -= written;
    }
}
