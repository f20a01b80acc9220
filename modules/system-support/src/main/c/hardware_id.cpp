#include "hardware_id.h"

#include <cstddef>

namespace WacomGSS {

namespace {

template <typename Char>
int hex_digit(Char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

template <typename Char>
Char ascii_upper(Char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<Char>(c - 'a' + 'A') : c;
}

// True when text holds literal (upper-case ASCII) at pos, ignoring letter case.
template <typename Char>
bool matches_at(std::basic_string_view<Char> text, size_t pos, std::string_view literal) {
    if (text.size() < pos + literal.size()) return false;
    for (size_t i = 0; i < literal.size(); ++i)
        if (ascii_upper(text[pos + i]) != static_cast<Char>(literal[i])) return false;
    return true;
}

// Exactly `digits` hex digits at pos into value.
template <typename Char>
bool hex_at(std::basic_string_view<Char> text, size_t pos, size_t digits, uint32_t& value) {
    if (text.size() < pos + digits) return false;
    value = 0;
    for (size_t i = 0; i < digits; ++i) {
        const int digit = hex_digit(text[pos + i]);
        if (digit < 0) return false;
        value = value * 16 + static_cast<uint32_t>(digit);
    }
    return true;
}

template <typename Char>
bool parse(std::basic_string_view<Char> id, UsbDevice& device) {
    // HID\VID_vvvv&PID_pppp&REV_rrrr: 30 characters, the groups at 8, 17 and 26.
    constexpr size_t vidAt = 8, pidAt = 17, revAt = 26, end = 30;
    if (id.size() <= 28) return false;
    uint32_t vendor = 0, product = 0, revision = 0;
    if (!matches_at(id, 0, "HID\\VID_") || !hex_at(id, vidAt, 4, vendor) || !matches_at(id, vidAt + 4, "&PID_") ||
        !hex_at(id, pidAt, 4, product) || !matches_at(id, pidAt + 4, "&REV_") || !hex_at(id, revAt, 4, revision))
        return false;
    device.vendorId = static_cast<uint16_t>(vendor);
    device.productId = static_cast<uint16_t>(product);
    device.revision = static_cast<uint16_t>(revision);
    device.isInterface = matches_at(id, end, "&MI_");
    return true;
}

}  // namespace

bool parse_hardware_id(std::wstring_view id, UsbDevice& device) { return parse(id, device); }
bool parse_hardware_id(std::string_view id, UsbDevice& device) { return parse(id, device); }

bool parse_hid_id(std::string_view id, UsbDevice& device) {
    // 0003:0000056A:000000A5
    constexpr uint32_t busUsb = 0x0003;
    uint32_t bus = 0, vendor = 0, product = 0;
    if (id.size() != 22 || !hex_at(id, 0, 4, bus) || id[4] != ':' || !hex_at(id, 5, 8, vendor) || id[13] != ':' ||
        !hex_at(id, 14, 8, product))
        return false;
    if (bus != busUsb || vendor > 0xFFFF || product > 0xFFFF) return false;
    device.vendorId = static_cast<uint16_t>(vendor);
    device.productId = static_cast<uint16_t>(product);
    return true;
}

}  // namespace WacomGSS
