// Shared libraries that only some commands need, opened on their first call: the host defines the
// library's functions itself (lazy_pcsclite.cpp, lazy_udev.cpp), each one looking the real function
// up once and calling it, so a process that never calls them (GET_INFO, TIMEOUT) never loads the
// library. With --as-needed the linker then records no dependency on the library.
#pragma once

#include <dlfcn.h>

#include "log.h"

namespace LazyLibrary {

// The real function NAME of the library FILE (soname), or null (with a diagnostic line that names the
// library and the loader's reason) when the library or the function is not there.
inline void* Find(const char* file, const char* name) {
    void* handle = dlopen(file, RTLD_NOW | RTLD_LOCAL | RTLD_NOLOAD);
    if (!handle) handle = dlopen(file, RTLD_NOW | RTLD_LOCAL);
    void* found = handle ? dlsym(handle, name) : nullptr;
    if (!found) {
        const char* reason = dlerror();
        LOG_UTILS("%s: cannot load %s (%s)", file, name, reason ? reason : "not found");
    }
    return found;
}

}  // namespace LazyLibrary

// Defines NAME(PARAMS) as a call of the library's own NAME(ARGS); FAIL when it cannot be loaded.
#define VELDRA_LAZY_FORWARD(file, ret, name, params, args, fail)                                    \
    extern "C" ret name params {                                                                    \
        static const auto real = reinterpret_cast<decltype(&name)>(LazyLibrary::Find(file, #name)); \
        if (!real) return fail;                                                                     \
        return real args;                                                                           \
    }

// The same for a function that answers nothing: without the library the call does nothing.
#define VELDRA_LAZY_FORWARD_VOID(file, name, params, args)                                          \
    extern "C" void name params {                                                                   \
        static const auto real = reinterpret_cast<decltype(&name)>(LazyLibrary::Find(file, #name)); \
        if (real) real args;                                                                        \
    }
