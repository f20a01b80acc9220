#include "win32api_error.h"

#include <cerrno>
#include <string>

#include <gtest/gtest.h>

using WacomGSS::Win32::win32api_error;
using WacomGSS::Win32::win32api_error_category;

TEST(Win32apiError, NamesItsCategoryAndDescribesNumbers) {
    EXPECT_STREQ(win32api_error_category().name(), "win32api");
    EXPECT_EQ(win32api_error_category().message(ENOENT), "No such file or directory");
    EXPECT_EQ(win32api_error_category().message(123456), "123456");
    EXPECT_EQ(win32api_error_category().message(-5), "-5");
}

TEST(Win32apiError, SystemErrorTextNamesTheOperation) {
    const std::system_error error = win32api_error(EACCES, "udev_enumerate_scan_devices");
    EXPECT_EQ(std::string(error.what()), "udev_enumerate_scan_devices: Permission denied");
    EXPECT_EQ(error.code().value(), EACCES);
    EXPECT_EQ(&error.code().category(), &win32api_error_category());
}
