// The "win32api" error category's messages where the numbers are errno values.
#include <cstring>

#include "win32api_error.h"

namespace WacomGSS::Win32 {

std::string win32api_error_category_impl::message(int value) const {
    // strerrordesc_np is thread-safe and, unlike strerror, says when a number has no description.
    if (const char* text = strerrordesc_np(value)) return text;
    return std::to_string(value);
}

}  // namespace WacomGSS::Win32
