#include <windows.h>

#include <string>

#include <gtest/gtest.h>

#include "win32api_error.h"

using WacomGSS::Win32::win32api_error;
using WacomGSS::Win32::win32api_error_category;

TEST(Win32apiErrorWin, SystemMessagesWithoutLineBreaks) {
    EXPECT_STREQ(win32api_error_category().name(), "win32api");
    const std::string text = win32api_error_category().message(ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(text.empty());
    EXPECT_NE(text, std::to_string(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(text.find('\n'), std::string::npos) << text;
    EXPECT_EQ(text.find('\r'), std::string::npos) << text;
}

TEST(Win32apiErrorWin, UnknownNumberIsWrittenInDecimal) {
    EXPECT_EQ(win32api_error_category().message(0x3FFFFF01), std::to_string(0x3FFFFF01));
}

namespace {

// Whether the message table of module (nullptr: the system's) has text for number.
bool table_has(const wchar_t* module, DWORD number) {
    HMODULE handle = nullptr;
    if (module) {
        handle = LoadLibraryExW(module, nullptr, LOAD_LIBRARY_AS_DATAFILE);
        if (!handle) return false;
    }
    wchar_t* text = nullptr;
    const DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS |
                                            (module ? FORMAT_MESSAGE_FROM_HMODULE : FORMAT_MESSAGE_FROM_SYSTEM),
                                        handle, number, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    if (text) LocalFree(text);
    if (handle) FreeLibrary(handle);
    return length > 0;
}

// The text the category gives a number that only module's table (not the system's) may know.
void expect_fallback(DWORD number, const wchar_t* module, const std::string& prefix) {
    const std::string text = win32api_error_category().message(static_cast<int>(number));
    if (table_has(nullptr, number)) GTEST_SKIP() << "the system's table names " << number << " here: " << text;
    if (!table_has(module, number)) {
        EXPECT_EQ(text, std::to_string(static_cast<int>(number)));
        GTEST_SKIP() << "no table here names " << number << ": only the decimal fallback was checked";
    }
    EXPECT_EQ(text.rfind(prefix, 0), 0u) << text;
    EXPECT_GT(text.size(), prefix.size()) << text;
    EXPECT_EQ(text.find('\n'), std::string::npos) << text;
}

}  // namespace

TEST(Win32apiErrorWin, NtStatusFallsBackToTheNtdllTable) {
    expect_fallback(0xC0000005, L"ntdll.dll", "[NTDLL]: ");  // STATUS_ACCESS_VIOLATION
}

TEST(Win32apiErrorWin, InternetErrorsFallBackToTheWinInetTable) {
    expect_fallback(12002, L"wininet.dll", "[WinInet]: ");  // ERROR_INTERNET_TIMEOUT
}

TEST(Win32apiErrorWin, SystemErrorTextNamesTheOperation) {
    const std::system_error error = win32api_error(ERROR_ACCESS_DENIED, "SetupDiEnumDeviceInterfaces");
    EXPECT_EQ(std::string(error.what()).rfind("SetupDiEnumDeviceInterfaces: ", 0), 0u) << error.what();
    EXPECT_EQ(error.code().value(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(&error.code().category(), &win32api_error_category());
}
