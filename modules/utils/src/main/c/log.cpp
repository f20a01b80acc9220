#include "log.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

std::atomic<bool> debug_enabled{false};

const char* log_base_name(const char* path) {
    if (!path) return "";
    const char* slash = std::strrchr(path, '/');
    if (slash) return slash + 1;
    const char* backslash = std::strrchr(path, '\\');
    return backslash ? backslash + 1 : path;
}

namespace {

void write_line(const char* tag, const char* file, int line, const char* function, const char* format,
                va_list args) {
    if (!stderr) return;
    std::fprintf(stderr, "[%s] (%s %d %s) ", tag, log_base_name(file), line, function ? function : "");
    std::vfprintf(stderr, format, args);
    std::fputs("\n", stderr);
}

// "Utils::BaseDispatchLoop::invoke" out of "virtual void Utils::BaseDispatchLoop::invoke(std::function<void()>)".
std::string qualified_name(const char* pretty) {
    if (!pretty) return {};
    std::string name(pretty);
    const size_t paren = name.find('(');
    if (paren != std::string::npos) name.erase(paren);
    const size_t space = name.rfind(' ');
    if (space != std::string::npos) name.erase(0, space + 1);
    return name;
}

}  // namespace

void log_write(const char* file, int line, const char* format, ...) {
    if (!debug_enabled.load(std::memory_order_relaxed)) return;
    va_list args;
    va_start(args, format);
    write_line("PLUGIN-NATIVE-DEBUG", file, line, "", format, args);
    va_end(args);
}

void log_write_tagged(const char* tag, const char* file, int line, const char* function, const char* format, ...) {
    va_list args;
    va_start(args, format);
    write_line(tag, file, line, qualified_name(function).c_str(), format, args);
    va_end(args);
}

