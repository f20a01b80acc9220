#include "der.h"

bool der_element(const std::vector<uint8_t>& bytes, size_t at, uint8_t& tag, size_t& content, size_t& length) {
    if (at + 2 > bytes.size()) return false;
    tag = bytes[at];
    const uint8_t first = bytes[at + 1];
    content = at + 2;
    if (first < 0x80) {
        length = first;
        return true;
    }
    const size_t octets = first & 0x7F;
    if (octets == 0 || octets > 3 || content + octets > bytes.size()) return false;
    length = 0;
    for (size_t i = 0; i < octets; ++i) length = length << 8 | bytes[content + i];
    content += octets;
    return true;
}
