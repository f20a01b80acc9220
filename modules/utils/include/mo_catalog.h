// A reader of compiled message catalogs (GNU .mo files), for the systems whose C library has no
// gettext. A catalog is hostile input: its size, its number of texts and every offset are checked,
// and a file that fails any check is no catalog at all.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace Utils {

// The largest catalog read; ours are a few kilobytes.
constexpr std::size_t kMoCatalogMaxBytes = 1 << 20;

// The pairs of one catalog: English text to its translation (the header entry and the texts with
// a context or plural forms left out; empty translations left out).
using MoCatalog = std::unordered_map<std::string, std::string>;

// The catalog in bytes (the whole file), or nothing when it is not a well-formed catalog.
std::optional<MoCatalog> mo_catalog_parse(std::string_view bytes);

}  // namespace Utils
