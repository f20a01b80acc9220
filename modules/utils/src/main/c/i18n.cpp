#include "i18n.h"

namespace Utils {

std::string i18n_format(std::string_view text, std::initializer_list<std::string_view> args) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t at = 0; at < text.size(); ++at) {
        if (text[at] == '{' && at + 2 < text.size() && text[at + 1] >= '1' && text[at + 1] <= '9' &&
            text[at + 2] == '}') {
            const auto index = static_cast<std::size_t>(text[at + 1] - '1');
            if (index < args.size()) {
                out += *(args.begin() + index);
                at += 2;
                continue;
            }
        }
        out += text[at];
    }
    return out;
}

}  // namespace Utils
