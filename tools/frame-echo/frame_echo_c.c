/* The smallest native messaging host in C: one frame in, the same frame out. Beside the C++
 * frame echo it pays no libstdc++ loading, so it is the floor a host's start-up is measured
 * against (bench/roundtrip). */
#include <errno.h>
#include <signal.h>
#include <stdint.h>
#include <string.h>
#include <unistd.h>

enum { MAX_FRAME = 1024 * 1024 };

static int move_all(int fd, char* data, size_t size, int writing) {
    while (size > 0) {
        ssize_t n = writing ? write(fd, data, size) : read(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return 0;
        data += n;
        size -= (size_t)n;
    }
    return 1;
}

int main(void) {
    static char frame[4 + MAX_FRAME];
    uint32_t length = 0;
    signal(SIGPIPE, SIG_IGN);
    if (!move_all(STDIN_FILENO, frame, 4, 0)) return 1;
    memcpy(&length, frame, 4);
    if (length > MAX_FRAME || !move_all(STDIN_FILENO, frame + 4, length, 0)) return 1;
    return move_all(STDOUT_FILENO, frame, 4 + length, 1) ? 0 : 1;
}
