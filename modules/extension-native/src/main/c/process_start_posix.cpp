#include "process_start.h"

#include <fcntl.h>
#ifdef __GLIBC__
#include <malloc.h>
#endif
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>

void secure_process_start() {
    // In order: when 0 is open, a closed 1 is the lowest free number, and so on.
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        const int opened = open("/dev/null", O_RDWR);
        if (opened >= 0 && opened != fd) close(opened);  // cannot happen: all below fd are open
    }
    prctl(PR_SET_DUMPABLE, 0);
    const rlimit none{0, 0};
    setrlimit(RLIMIT_CORE, &none);
}

void configure_process_heap() {
#ifdef __GLIBC__
    mallopt(M_ARENA_MAX, 1);
#endif
}
