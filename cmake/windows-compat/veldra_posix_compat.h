// The few POSIX C library calls that platform-neutral tests use (environment switches, private
// temporary folders), over the Windows C runtime; put in front of every file of the Windows build.
#pragma once

#ifdef __cplusplus
#include <cerrno>
#include <cstdlib>
#include <cstring>
#else
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#endif
#include <direct.h>
#include <io.h>

static inline int setenv(const char* name, const char* value, int overwrite) {
    if (!overwrite && getenv(name)) return 0;
    return _putenv_s(name, value) == 0 ? 0 : -1;
}

static inline int unsetenv(const char* name) { return _putenv_s(name, "") == 0 ? 0 : -1; }

// Replaces the trailing XXXXXX of pattern and creates that folder.
static inline char* mkdtemp(char* pattern) {
    const size_t length = strlen(pattern);
    if (length < 6 || strcmp(pattern + length - 6, "XXXXXX") != 0) {
        errno = EINVAL;
        return NULL;
    }
    for (int attempt = 0; attempt < 100; ++attempt) {
        memcpy(pattern + length - 6, "XXXXXX", 6);
        if (_mktemp_s(pattern, length + 1) != 0) return NULL;
        if (_mkdir(pattern) == 0) return pattern;
        if (errno != EEXIST) return NULL;
    }
    return NULL;
}
