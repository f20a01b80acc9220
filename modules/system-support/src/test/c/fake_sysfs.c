/* Lets a plain folder mounted over /sys pass for sysfs: libudev accepts devices only on a file
 * system of the sysfs type. Reports that type for every path under /sys; on a real /sys it changes
 * nothing. Linked into tests, or preloaded (LD_PRELOAD) into a program under test. */
#define _GNU_SOURCE
#include <linux/magic.h>
#include <stdio.h>
#include <string.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <unistd.h>

static int below_sys(const char* path) { return strncmp(path, "/sys", 4) == 0 && (path[4] == '\0' || path[4] == '/'); }

static void claim_sysfs(struct statfs64* buf) { buf->f_type = SYSFS_MAGIC; }

int fstatfs64(int fd, struct statfs64* buf) {
    const long result = syscall(SYS_fstatfs, fd, buf);
    if (result != 0) return (int)result;
    char link[64];
    char path[4096];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t length = readlink(link, path, sizeof path - 1);
    if (length > 0) {
        path[length] = '\0';
        if (below_sys(path)) claim_sysfs(buf);
    }
    return 0;
}

int fstatfs(int fd, struct statfs* buf) { return fstatfs64(fd, (struct statfs64*)buf); }

int statfs64(const char* file, struct statfs64* buf) {
    const long result = syscall(SYS_statfs, file, buf);
    if (result != 0) return (int)result;
    if (below_sys(file)) claim_sysfs(buf);
    return 0;
}

int statfs(const char* file, struct statfs* buf) { return statfs64(file, (struct statfs64*)buf); }
