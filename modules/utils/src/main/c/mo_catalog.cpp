#include "mo_catalog.h"

#include <cstdint>

namespace Utils {
namespace {

constexpr uint32_t kMagic = 0x950412de;
constexpr std::size_t kHeaderBytes = 28;
constexpr uint32_t kMaxTexts = 10000;

class Reader {
public:
    Reader(std::string_view bytes, bool swapped) : bytes_(bytes), swapped_(swapped) {}

    // The 32-bit number at offset; false when it does not lie wholly inside the file.
    bool word(std::size_t offset, uint32_t& value) const {
        if (offset > bytes_.size() || bytes_.size() - offset < 4) return false;
        const auto* p = reinterpret_cast<const unsigned char*>(bytes_.data() + offset);
        value = swapped_ ? (uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3])
                         : (uint32_t{p[3]} << 24 | uint32_t{p[2]} << 16 | uint32_t{p[1]} << 8 | p[0]);
        return true;
    }

    // The text of table entry index (length, offset) of the table at table; it must end in a NUL
    // inside the file.
    bool text(std::size_t table, uint32_t index, std::string_view& out) const {
        uint32_t length = 0, offset = 0;
        const std::size_t entry = table + std::size_t{index} * 8;
        if (!word(entry, length) || !word(entry + 4, offset)) return false;
        if (offset > bytes_.size() || bytes_.size() - offset <= length) return false;
        if (bytes_[offset + length] != '\0') return false;
        out = bytes_.substr(offset, length);
        return true;
    }

private:
    std::string_view bytes_;
    bool swapped_;
};

}  // namespace

std::optional<MoCatalog> mo_catalog_parse(std::string_view bytes) {
    if (bytes.size() < kHeaderBytes || bytes.size() > kMoCatalogMaxBytes) return std::nullopt;
    uint32_t magic = 0;
    Reader plain(bytes, false);
    plain.word(0, magic);
    const bool swapped = magic != kMagic;
    Reader reader(bytes, swapped);
    reader.word(0, magic);
    uint32_t revision = 0, count = 0, originals = 0, translations = 0;
    if (magic != kMagic || !reader.word(4, revision) || (revision >> 16) > 1 || !reader.word(8, count) ||
        !reader.word(12, originals) || !reader.word(16, translations) || count > kMaxTexts)
        return std::nullopt;
    MoCatalog catalog;
    for (uint32_t i = 0; i < count; ++i) {
        std::string_view english, translated;
        if (!reader.text(originals, i, english) || !reader.text(translations, i, translated)) return std::nullopt;
        // The header (empty text), texts with a context (EOT inside) or plural forms (NUL inside).
        if (english.empty() || english.find('\x04') != std::string_view::npos ||
            english.find('\0') != std::string_view::npos || translated.empty())
            continue;
        catalog.emplace(std::string(english), std::string(translated));
    }
    return catalog;
}

}  // namespace Utils
