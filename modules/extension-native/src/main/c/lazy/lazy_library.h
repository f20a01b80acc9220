// Shared libraries that only some commands need, opened on their first call: the host defines the
// library's functions itself (lazy_pcsclite.cpp, lazy_udev.cpp), each one looking the real function
// up once and calling it, so a process that never calls them (GET_INFO, TIMEOUT) never loads the
// library. With --as-needed the linker then records no dependency on the library.
#pragma once

#include <dlfcn.h>

namespace LazyLibrary {

// The real function NAME of the library FILE (soname), or null when the library is not there.
inline void* Find(const char* file, const char* name) {
    void* handle = dlopen(file, RTLD_NOW | RTLD_LOCAL | RTLD_NOLOAD);
    if (!handle) handle = dlopen(file, RTLD_NOW | RTLD_LOCAL);
    return handle ? dlsym(handle, name) : nullptr;
}

}  // namespace LazyLibrary

// Defines NAME(PARAMS) as a call of the library's own NAME(ARGS); FAIL when it cannot be loaded.
#define VELDRA_LAZY_FORWARD(file, ret, name, params, args, fail)                                 \
    extern "C" ret name params {                                                                 \
        static const auto real = reinterpret_cast<decltype(&name)>(LazyLibrary::Find(file, #name)); \
        if (!real) return fail;                                                                  \
        return real args;                                                                        \
    }
