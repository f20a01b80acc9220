// The "win32api" error category: system error numbers and their messages. On this platform the
// numbers are errno values.
#pragma once

#include <string>
#include <system_error>

namespace WacomGSS::Win32 {

class win32api_error_category_impl : public std::error_category {
public:
    const char* name() const noexcept override;
    // The system's description of the number; the number in decimal when it has none.
    std::string message(int value) const override;
};

const std::error_category& win32api_error_category() noexcept;

// A std::system_error of the category; what() is "<what>: <message>".
std::system_error win32api_error(int value, const char* what);

}  // namespace WacomGSS::Win32
