// Diagnostic lines on standard error. Standard output belongs to the native messaging channel.
#pragma once

#include <atomic>
#include <string>

// Set by command routing from the request's "debug" member; gates log_write.
extern std::atomic<bool> debug_enabled;

// "PLUGIN-NATIVE-DEBUG" lines: written only while debug_enabled is set; the function field is empty.
void log_write(const char* file, int line, const char* format, ...) __attribute__((format(printf, 3, 4)));

// Tagged lines ("PLUGIN-API", "PLUGIN-API-PKCS", "UTILS"): always written.
void log_write_tagged(const char* tag, const char* file, int line, const char* function, const char* format, ...)
    __attribute__((format(printf, 5, 6)));

// A long text for a log line: its first limit bytes (cut where a UTF-8 character starts) followed
// by "... (N more bytes)"; the text itself when it is no longer than limit.
std::string log_excerpt(const std::string& text, size_t limit);

// The text after the last '/' or, failing that, after the last '\\'; the whole path when it has neither.
const char* log_base_name(const char* path);

// The switch is tested before the arguments are built: a line that is not written costs no masking
// or hex conversion.
#define LOG_DEBUG(...) \
    (debug_enabled.load(std::memory_order_relaxed) ? log_write(__FILE__, __LINE__, __VA_ARGS__) : void())
#define LOG_API(...) log_write_tagged("PLUGIN-API", __FILE__, __LINE__, __PRETTY_FUNCTION__, __VA_ARGS__)
#define LOG_UTILS(...) log_write_tagged("UTILS", __FILE__, __LINE__, __PRETTY_FUNCTION__, __VA_ARGS__)
