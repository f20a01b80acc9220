// The contents of the emulated card's files, by full path from the master file.
#pragma once

#include <map>
#include <string>

#include "card_keys.h"

namespace VirtualCard {

// How the token information file (3F 00 DF 00 50 32) writes its DER.
enum class TokenInfoForm {
    Short,       // short-form lengths, as the cards of this family write it (the default)
    LongLength,  // 100 more bytes (algorithm information), so the file's length takes the long form
    NoSerial,    // no serial number: the card tells no identity
};

// Paths as raw bytes (3F 00 DF 00 50 39, ...); the application directories map to empty files.
std::map<std::string, Bytes> MakeCardFiles(const CardKeys& keys, TokenInfoForm tokenInfo = TokenInfoForm::Short);

// The dedicated files (directories) among those paths.
bool IsDirectory(const std::string& path);

}  // namespace VirtualCard
