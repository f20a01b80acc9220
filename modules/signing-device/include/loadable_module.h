// A shared module opened on first use: from the running program's folder when it is there,
// otherwise by name through the library path. Opened once per process and never closed (toolkits
// such as GTK cannot be unloaded).
#pragma once

#include <mutex>
#include <string>

namespace BioSigningDevice {

class LoadableModule {
public:
    explicit LoadableModule(std::string fileName) : fileName_(std::move(fileName)) {}
    LoadableModule(const LoadableModule&) = delete;
    LoadableModule& operator=(const LoadableModule&) = delete;

    // The address of an exported symbol; null when the module or the symbol is missing.
    void* Symbol(const char* name);

private:
    std::string fileName_;
    std::once_flag once_;
    void* handle_ = nullptr;
};

}  // namespace BioSigningDevice
