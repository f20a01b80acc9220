#include "win32api_error.h"

#include <cstring>

namespace WacomGSS::Win32 {

const char* win32api_error_category_impl::name() const noexcept { return "win32api"; }

std::string win32api_error_category_impl::message(int value) const {
    // strerrordesc_np is thread-safe and, unlike strerror, says when a number has no description.
    if (const char* text = strerrordesc_np(value)) return text;
    return std::to_string(value);
}

const std::error_category& win32api_error_category() noexcept {
    static const win32api_error_category_impl category;
    return category;
}

std::system_error win32api_error(int value, const char* what) {
    return std::system_error(value, win32api_error_category(), what);
}

}  // namespace WacomGSS::Win32
