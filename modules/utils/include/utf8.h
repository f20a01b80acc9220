// Well-formed UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
#pragma once

#include <cstddef>
#include <string_view>

namespace Utils {

// Length of the well-formed UTF-8 sequence at text[at] (at < text.size()), or 0 when there is none.
std::size_t utf8_sequence_length(std::string_view text, std::size_t at);

// True when the whole text is well-formed UTF-8.
bool is_utf8(std::string_view text);

}  // namespace Utils
