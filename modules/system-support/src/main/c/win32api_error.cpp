// The "win32api" error category: what every platform shares; each platform's file gives the
// messages.
#include "win32api_error.h"

namespace WacomGSS::Win32 {

const char* win32api_error_category_impl::name() const noexcept { return "win32api"; }

const std::error_category& win32api_error_category() noexcept {
    static const win32api_error_category_impl category;
    return category;
}

std::system_error win32api_error(int value, const char* what) {
    return std::system_error(value, win32api_error_category(), what);
}

}  // namespace WacomGSS::Win32
