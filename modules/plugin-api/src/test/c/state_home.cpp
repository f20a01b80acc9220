#include "state_home.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <stdexcept>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {

#ifdef _WIN32
// Where the user's known folders are redirected; SHGetKnownFolderPath reads its "Local AppData".
const wchar_t* const USER_SHELL_FOLDERS = L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";
const wchar_t* const LOCAL_APP_DATA = L"Local AppData";

std::wstring read_local_app_data() {
    wchar_t value[1024] = {};
    DWORD size = sizeof value - sizeof(wchar_t);
    if (RegGetValueW(HKEY_CURRENT_USER, USER_SHELL_FOLDERS, LOCAL_APP_DATA,
                     RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, nullptr, value, &size) != ERROR_SUCCESS)
        return {};
    return value;
}

void write_local_app_data(const std::wstring& value) {
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, USER_SHELL_FOLDERS, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr) !=
        ERROR_SUCCESS)
        throw std::runtime_error("cannot open User Shell Folders");
    const LSTATUS result =
        RegSetValueExW(key, LOCAL_APP_DATA, 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                       static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
    if (result != ERROR_SUCCESS) throw std::runtime_error("cannot redirect Local AppData");
}
#endif

std::string fresh_folder() {
    static std::atomic<unsigned> serial{0};
#ifdef _WIN32
    const unsigned long process = GetCurrentProcessId();
#else
    const unsigned long process = static_cast<unsigned long>(getpid());
#endif
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    fs::path path = fs::temp_directory_path() / ("veldra-state-" + std::to_string(process) + "-" +
                                                 std::to_string(stamp) + "-" + std::to_string(serial++));
    fs::create_directories(path);
    return path.string();
}

}  // namespace

StateHome::StateHome() : root_(fresh_folder()) {
#ifdef _WIN32
    saved_ = read_local_app_data();
#endif
    point_at(root_);
}

StateHome::~StateHome() {
#ifdef _WIN32
    try {
        write_local_app_data(saved_.empty() ? L"%USERPROFILE%\\AppData\\Local" : saved_);
    } catch (...) {}
#else
    unsetenv("XDG_DATA_HOME");
#endif
    std::error_code ignored;
    fs::remove_all(root_, ignored);
}

void StateHome::point_at(const std::string& base) {
#ifdef _WIN32
    write_local_app_data(fs::u8path(base).wstring());
#else
    setenv("XDG_DATA_HOME", base.c_str(), 1);
#endif
}
