// The "win32api" error category's messages on Windows: the system's message for an error number,
// else the NTDLL or WinInet message table's, else the number in decimal; always UTF-8.
#include <windows.h>

#include <string>

#include "win32api_error.h"

namespace WacomGSS::Win32 {

namespace {

struct LocalText {
    wchar_t* text = nullptr;
    ~LocalText() {
        if (text) LocalFree(text);
    }
};

// The message of number from the given table (the system's when module is null), line breaks
// dropped; empty when the table has none.
std::wstring table_message(HMODULE module, DWORD number) {
    LocalText buffer;
    const DWORD flags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_MAX_WIDTH_MASK |
                        (module ? FORMAT_MESSAGE_FROM_HMODULE : FORMAT_MESSAGE_FROM_SYSTEM);
    const DWORD length = FormatMessageW(flags, module, number, 0, reinterpret_cast<LPWSTR>(&buffer.text), 0, nullptr);
    if (length == 0 || !buffer.text) return {};
    std::wstring text(buffer.text, length);
    while (!text.empty() && (text.back() == L' ' || text.back() == L'\r' || text.back() == L'\n')) text.pop_back();
    return text;
}

std::wstring module_message(const wchar_t* name, DWORD number) {
    // Loaded as a data file only: nothing of the library runs.
    HMODULE module = LoadLibraryExW(name, nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (!module) return {};
    std::wstring text = table_message(module, number);
    FreeLibrary(module);
    return text;
}

std::string utf8_of(const std::wstring& text) {
    if (text.empty()) return {};
    const int size =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    if (size <= 0) return {};
    std::string narrow(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), narrow.data(), size, nullptr, nullptr);
    return narrow;
}

}  // namespace

std::string win32api_error_category_impl::message(int value) const {
    const DWORD number = static_cast<DWORD>(value);
    std::wstring text = table_message(nullptr, number);
    if (text.empty()) {
        text = module_message(L"ntdll.dll", number);
        if (!text.empty()) text = L"[NTDLL]: " + text;
    }
    if (text.empty()) {
        text = module_message(L"wininet.dll", number);
        if (!text.empty()) text = L"[WinInet]: " + text;
    }
    std::string narrow = utf8_of(text);
    return narrow.empty() ? std::to_string(value) : narrow;
}

}  // namespace WacomGSS::Win32
