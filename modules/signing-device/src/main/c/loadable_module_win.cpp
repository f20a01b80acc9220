// Modules on Windows: the DLL beside the program first, then by name through the DLL search path.
#include <windows.h>

#include <string>

#include "loadable_module.h"
#include "log.h"

namespace BioSigningDevice {
namespace {

std::string program_folder() {
    char path[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return {};
    const std::string program(path, length);
    const size_t slash = program.find_last_of("\\/");
    return slash == std::string::npos ? std::string() : program.substr(0, slash + 1);
}

}  // namespace

void* LoadableModule::Symbol(const char* name) {
    std::call_once(once_, [this] {
        const std::string beside = program_folder() + fileName_;
        handle_ = LoadLibraryExA(beside.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
        if (!handle_) handle_ = LoadLibraryA(fileName_.c_str());
        if (!handle_) LOG_DEBUG("Could not load %s: error %lu", fileName_.c_str(), GetLastError());
    });
    return handle_ ? reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle_), name)) : nullptr;
}

}  // namespace BioSigningDevice
