// The contents of the emulated card's files, by full path from the master file.
#pragma once

#include <map>
#include <string>

#include "card_keys.h"

namespace VirtualCard {

// Paths as raw bytes (3F 00 DF 00 50 39, ...); the application directories map to empty files.
std::map<std::string, Bytes> MakeCardFiles(const CardKeys& keys);

// The dedicated files (directories) among those paths.
bool IsDirectory(const std::string& path);

}  // namespace VirtualCard
