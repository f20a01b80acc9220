// Frame byte channels on Windows: both streams in binary mode (no CR/LF translation, no Ctrl-Z as
// end of file). The end of the input ends a read at once; the read window bounds every other wait:
// a pipe is peeked before it is read; where it cannot be peeked (Wine's pipes of a Unix parent), the
// request's blocking reads run on one reader thread, each waited for until the window closes; bytes
// that arrive after a window closed are kept for the next read. Every copy of the request's bytes is
// wiped (it may hold a PIN).
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "extension_io.h"
#include "extension_io_platform.h"
#include "secret.h"
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

// The reader thread of a standard input that cannot be peeked. A read that cannot be cancelled
// (Wine has no CancelSynchronousIo for it) is waited for with a deadline; the thread outlives an
// abandoned wait and keeps what it read. One thread for all of a request's reads: a new thread for
// each read lost the second read of a frame now and then under Wine, the same reads on one thread never.
class BlockingReader {
public:
    explicit BlockingReader(HANDLE input) : thread_([this, input] { loop(input); }) {}
    BlockingReader(const BlockingReader&) = delete;
    BlockingReader& operator=(const BlockingReader&) = delete;

    // Up to wanted bytes before deadline: the bytes got (none at end of input or on failure);
    // timedOut says that the window closed first.
    std::vector<uint8_t> read(DWORD wanted, Clock::time_point deadline, bool& timedOut) {
        std::unique_lock<std::mutex> lock(mutex_);
        if (pending_.empty() && !ended_ && asked_ == 0) {
            asked_ = wanted;
            changed_.notify_all();
        }
        timedOut = !changed_.wait_until(lock, deadline, [&] { return !pending_.empty() || ended_; });
        const size_t n = std::min<size_t>(wanted, pending_.size());
        std::vector<uint8_t> got(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(n));
        Utils::wipe_bytes(pending_.data(), n);
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(n));
        return got;
    }

    // Ends the thread when it is not inside a read: true when it has ended (the reader may then be
    // deleted); false when a read still blocks it (the reader then lives on with its thread).
    bool finish() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (asked_ != 0) {
                thread_.detach();
                return false;
            }
            finishing_ = true;
            changed_.notify_all();
        }
        thread_.join();
        return true;
    }

private:
    void loop(HANDLE input) {
        std::vector<uint8_t> buffer;
        const Utils::WipeOnExit wipe{buffer};
        for (;;) {
            DWORD wanted;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                changed_.wait(lock, [&] { return asked_ != 0 || finishing_; });
                if (finishing_) return;
                wanted = asked_;
            }
            buffer.resize(wanted);
            DWORD got = 0;
            const bool ok = ReadFile(input, buffer.data(), wanted, &got, nullptr) && got > 0;
            std::lock_guard<std::mutex> lock(mutex_);
            asked_ = 0;
            if (ok) pending_.insert(pending_.end(), buffer.begin(), buffer.begin() + got);
            Utils::wipe_bytes(buffer.data(), buffer.size());
            ended_ = !ok;
            changed_.notify_all();
            if (!ok) return;
        }
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<uint8_t> pending_;  // read, not yet handed out
    DWORD asked_ = 0;               // the read the thread is to make next, or is making; 0: none
    bool ended_ = false;            // end of input, or a failed read
    bool finishing_ = false;        // the request is read: the thread is to end
    std::thread thread_;            // last: started once the members above exist
};

// The reader of the process's standard input, made by the first blocking read and ended by
// extension_end_reading: a thread left waiting when the process exits had Wine end the process with
// SIGKILL instead of its exit code (1 run in 15). Never deleted while its thread runs.
BlockingReader*& stdin_reader() {
    static BlockingReader* reader = nullptr;
    return reader;
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
            BlockingReader*& reader = stdin_reader();
            if (!reader) reader = new BlockingReader(input);
            std::vector<uint8_t> got = reader->read(wanted, deadline, timedOut);
            const Utils::WipeOnExit wipe{got};
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

void extension_end_reading() {
    BlockingReader*& reader = stdin_reader();
    if (reader && reader->finish()) delete reader;
    reader = nullptr;
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
