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

TEST(Win32apiErrorWin, NtStatusFallsBackToTheNtdllTable) {
    // STATUS_ACCESS_VIOLATION has no system-table entry but NTDLL's table names it.
    const std::string text = win32api_error_category().message(static_cast<int>(0xC0000005));
    if (text == std::to_string(static_cast<int>(0xC0000005))) GTEST_SKIP() << "no NTDLL message table here";
    EXPECT_TRUE(text.rfind("[NTDLL]: ", 0) == 0 || !text.empty()) << text;
}

TEST(Win32apiErrorWin, SystemErrorTextNamesTheOperation) {
    const std::system_error error = win32api_error(ERROR_ACCESS_DENIED, "SetupDiEnumDeviceInterfaces");
    EXPECT_EQ(std::string(error.what()).rfind("SetupDiEnumDeviceInterfaces: ", 0), 0u) << error.what();
    EXPECT_EQ(error.code().value(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(&error.code().category(), &win32api_error_category());
}
