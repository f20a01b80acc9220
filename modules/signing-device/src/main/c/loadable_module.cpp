#include "loadable_module.h"

#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

#include "log.h"

namespace BioSigningDevice {
namespace {

std::string program_folder() {
    char path[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0) return {};
    const std::string program(path, static_cast<size_t>(length));
    const size_t slash = program.rfind('/');
    return slash == std::string::npos ? std::string() : program.substr(0, slash + 1);
}

// Where an installed host finds its modules (fixed when it is built).
#ifdef VELDRA_MODULE_DIR
constexpr const char* installed_folder = VELDRA_MODULE_DIR "/";
#else
constexpr const char* installed_folder = nullptr;
#endif

}  // namespace

void* LoadableModule::Symbol(const char* name) {
    std::call_once(once_, [this] {
        const std::string beside = program_folder() + fileName_;
        if (access(beside.c_str(), R_OK) == 0) handle_ = dlopen(beside.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!handle_ && installed_folder) {
            const std::string installed = std::string(installed_folder) + fileName_;
            if (access(installed.c_str(), R_OK) == 0) handle_ = dlopen(installed.c_str(), RTLD_NOW | RTLD_LOCAL);
        }
        if (!handle_) handle_ = dlopen(fileName_.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!handle_) {
            const char* error = dlerror();
            LOG_DEBUG("Could not load %s: %s", fileName_.c_str(), error ? error : "unknown error");
        }
    });
    return handle_ ? dlsym(handle_, name) : nullptr;
}

}  // namespace BioSigningDevice
