#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "i18n.h"
#include "mo_catalog.h"

namespace {

using Pairs = std::vector<std::pair<std::string, std::string>>;

void put(std::string& out, uint32_t value, bool big) {
    for (int i = 0; i < 4; ++i) out += static_cast<char>(value >> (big ? 24 - 8 * i : 8 * i));
}

// A catalog laid out as msgfmt writes one: header, the two tables, then the texts with their NULs.
std::string mo_file(const Pairs& pairs, bool big = false) {
    const auto count = static_cast<uint32_t>(pairs.size());
    std::string out;
    put(out, 0x950412de, big);
    put(out, 0, big);
    put(out, count, big);
    put(out, 28, big);
    put(out, 28 + 8 * count, big);
    put(out, 0, big);
    put(out, 0, big);
    uint32_t at = 28 + 16 * count;
    std::string texts;
    for (int table = 0; table < 2; ++table)
        for (const auto& pair : pairs) {
            const std::string& text = table == 0 ? pair.first : pair.second;
            put(out, static_cast<uint32_t>(text.size()), big);
            put(out, at, big);
            texts += text + '\0';
            at += static_cast<uint32_t>(text.size() + 1);
        }
    return out + texts;
}

const Pairs kPairs = {{"", "Content-Type: text/plain; charset=UTF-8\n"},
                      {"Cancel", "Annuleren"},
                      {"Clear", ""},
                      {"ctx\x04Ok", "Oké"},
                      {"Ok", "Oké"}};

}  // namespace

TEST(MoCatalog, ReadsTheTextsOfEitherByteOrder) {
    for (const bool big : {false, true}) {
        const auto catalog = Utils::mo_catalog_parse(mo_file(kPairs, big));
        ASSERT_TRUE(catalog);
        EXPECT_EQ(*catalog, (Utils::MoCatalog{{"Cancel", "Annuleren"}, {"Ok", "Oké"}}));
    }
}

TEST(MoCatalog, RefusesWhatIsNoWholeCatalog) {
    const std::string good = mo_file(kPairs);
    for (std::size_t size = 0; size < good.size(); ++size)  // every cut, mid-table and mid-text
        EXPECT_FALSE(Utils::mo_catalog_parse(good.substr(0, size))) << size;
    std::string offset = good;  // the first text placed past the end
    offset[32] = offset[33] = offset[34] = offset[35] = '\xff';
    EXPECT_FALSE(Utils::mo_catalog_parse(offset));
    std::string unterminated = good;  // a text that does not end in a NUL
    unterminated[unterminated.size() - 1] = 'x';
    EXPECT_FALSE(Utils::mo_catalog_parse(unterminated));
    std::string many = good;  // more texts than any catalog of ours
    many[8] = many[9] = many[10] = many[11] = '\x7f';
    EXPECT_FALSE(Utils::mo_catalog_parse(many));
    EXPECT_FALSE(Utils::mo_catalog_parse(std::string(Utils::kMoCatalogMaxBytes + 1, '\0')));
    EXPECT_FALSE(Utils::mo_catalog_parse(std::string(64, 'x')));
}

TEST(I18n, FormatPutsEachArgumentInItsPlace) {
    EXPECT_EQ(Utils::i18n_format("{2} before {1}, {1} again; {3} {x} {", {"a", "b"}), "b before a, a again; {3} {x} {");
}
