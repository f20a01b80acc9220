#include "log.h"

#include <algorithm>
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

std::string log_excerpt(const std::string& text, size_t limit) {
    if (text.size() <= limit) return text;
    size_t cut = limit;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    return text.substr(0, cut) + "... (" + std::to_string(text.size() - cut) + " more bytes)";
}

namespace {

// The whole line in one write: standard error is unbuffered, so printing its parts one by one would
// cost a system call each (at every start of the process) and let another thread's line cut in.
void write_line(const char* tag, const char* file, int line, const char* function, const char* format, va_list args) {
    if (!stderr) return;
    char prefix[512];
    int head = std::snprintf(prefix, sizeof prefix, "[%s] (%s %d %s) ", tag, log_base_name(file), line,
                             function ? function : "");
    if (head < 0) return;
    head = std::min<int>(head, sizeof prefix - 1);
    va_list sizing;
    va_copy(sizing, args);
    const int body = std::vsnprintf(nullptr, 0, format, sizing);
    va_end(sizing);
    if (body < 0) return;
    std::string text(prefix, static_cast<size_t>(head));
    text.resize(static_cast<size_t>(head) + static_cast<size_t>(body) + 1);
    std::vsnprintf(text.data() + head, static_cast<size_t>(body) + 1, format, args);
    text.back() = '\n';
    std::fwrite(text.data(), 1, text.size(), stderr);
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
