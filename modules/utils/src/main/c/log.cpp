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

bool at(const char* p, const char* word) { return std::strncmp(p, word, std::strlen(word)) == 0; }

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

std::string log_mask_secrets(const char* text) {
    std::string out;
    if (!text) return out;
    const char* p = text;
    while (*p) {
        const bool key = at(p, "\"pin\"") || at(p, "\"pinToken\"");
        if (!key) {
            out += *p++;
            continue;
        }
        const char* name_end = std::strchr(p + 1, '"') + 1;
        const char* q = name_end;
        while (*q == ' ' || *q == '\t' || *q == '\r' || *q == '\n') ++q;
        if (*q != ':') {  // a string value that happens to read "pin", not a member name
            out.append(p, name_end);
            p = name_end;
            continue;
        }
        ++q;
        while (*q == ' ' || *q == '\t' || *q == '\r' || *q == '\n') ++q;
        out.append(p, q);
        if (*q == '"') {
            const char* v = q + 1;
            while (*v && *v != '"') v += (*v == '\\' && v[1]) ? 2 : 1;
            out += "\"***\"";
            p = *v ? v + 1 : v;
        } else {
            const char* v = q;
            while (*v && !std::strchr(",}] \t\r\n", *v)) ++v;
            if (v != q) out += "***";
            p = v;
        }
    }
    return out;
}
