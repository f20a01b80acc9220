#include "state_home.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <stdexcept>

#ifdef _WIN32
#include <windows.h>
#include <knownfolders.h>
#include <shlobj.h>
#else
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {

std::string fresh_folder() {
    static std::atomic<unsigned> serial{0};
#ifdef _WIN32
    const unsigned long process = GetCurrentProcessId();
#else
    const unsigned long process = static_cast<unsigned long>(getpid());
#endif
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    fs::path path = fs::temp_directory_path() /
                    ("veldra-state-" + std::to_string(process) + "-" + std::to_string(stamp) + "-" +
                     std::to_string(serial++));
    fs::create_directories(path);
    return path.string();
}

}  // namespace

StateHome::StateHome() : root_(fresh_folder()) {
#ifdef _WIN32
    wchar_t* current = nullptr;
    if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_LocalAppData, KF_FLAG_DONT_VERIFY, nullptr, &current)) && current)
        saved_ = current;
    CoTaskMemFree(current);
#endif
    point_at(root_);
}

StateHome::~StateHome() {
#ifdef _WIN32
    if (!saved_.empty()) SHSetKnownFolderPath(FOLDERID_LocalAppData, 0, nullptr, saved_.c_str());
#else
    unsetenv("XDG_DATA_HOME");
#endif
    std::error_code ignored;
    fs::remove_all(root_, ignored);
}

void StateHome::point_at(const std::string& base) {
#ifdef _WIN32
    const std::wstring wide = fs::path(base).wstring();
    if (FAILED(SHSetKnownFolderPath(FOLDERID_LocalAppData, 0, nullptr, wide.c_str())))
        throw std::runtime_error("SHSetKnownFolderPath failed for " + base);
#else
    setenv("XDG_DATA_HOME", base.c_str(), 1);
#endif
}
