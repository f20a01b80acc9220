#include "caller_site.h"

#include <cstring>
#include <string_view>
#include <utility>

namespace {

constexpr const char* MEMBER = "callerOrigin";

bool is_lower_or_digit(char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'); }

bool is_scheme(std::string_view scheme) {
    if (scheme.empty() || scheme[0] < 'a' || scheme[0] > 'z') return false;
    for (char c : scheme)
        if (!is_lower_or_digit(c) && c != '+' && c != '-' && c != '.') return false;
    return true;
}

bool is_host(std::string_view host) {
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
        for (char c : host.substr(1, host.size() - 2))
            if (!(c >= '0' && c <= '9') && !(c >= 'a' && c <= 'f') && c != ':' && c != '.') return false;
        return host.size() > 2;
    }
    for (char c : host)
        if (!is_lower_or_digit(c) && c != '-' && c != '.' && c != '_' && c != '~') return false;
    return true;
}

bool is_port(std::string_view port) {
    if (port.empty() || port.size() > 5) return false;
    unsigned value = 0;
    for (char c : port) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    return value <= 65535;
}

bool is_origin(std::string_view text) {
    const std::size_t separator = text.find("://");
    if (separator == std::string_view::npos) return false;
    const std::string_view scheme = text.substr(0, separator);
    std::string_view host = text.substr(separator + 3);
    // The port follows the last colon that is not inside an IPv6 address's brackets.
    const std::size_t colon = host.rfind(':');
    if (colon != std::string_view::npos && host.find(']', colon) == std::string_view::npos) {
        if (!is_port(host.substr(colon + 1))) return false;
        host = host.substr(0, colon);
        if (host.empty()) return false;
    }
    if (host.empty()) return scheme == "file";
    return is_scheme(scheme) && is_host(host);
}

bool is_member(const json_message* message, const jsmntok_t& token) {
    const std::size_t length = std::strlen(MEMBER);
    return token.type == JSMN_STRING && static_cast<std::size_t>(token.end - token.start) == length &&
           std::memcmp(message->text + token.start, MEMBER, length) == 0;
}

}  // namespace

CallerSite read_caller_site(const json_message* message, std::string& site) {
    site.clear();
    const jsmntok_t* tokens = message->tokens;
    if (message->count < 1 || tokens[0].type != JSMN_OBJECT) return CallerSite::Absent;
    int found = -1, times = 0;
    // Each member of the request object: a key, its value, and the value's own members.
    for (int key = 1; key + 1 < message->count && tokens[key].start < tokens[0].end;) {
        const jsmntok_t& value = tokens[key + 1];
        if (is_member(message, tokens[key])) {
            found = key + 1;
            ++times;
        }
        int next = key + 2;
        while (next < message->count && tokens[next].start < value.end) ++next;
        key = next;
    }
    if (times == 0) return CallerSite::Absent;
    const jsmntok_t& value = tokens[found];
    const auto length = static_cast<std::size_t>(value.end - value.start);
    if (times > 1 || value.type != JSMN_STRING || length > CALLER_SITE_MAX_LENGTH * 6) return CallerSite::Invalid;
    std::string text;
    if (!json_unescape(message->text + value.start, length, text)) return CallerSite::Invalid;
    if (text.size() > CALLER_SITE_MAX_LENGTH || !is_origin(text)) return CallerSite::Invalid;
    site = std::move(text);
    return CallerSite::Valid;
}
