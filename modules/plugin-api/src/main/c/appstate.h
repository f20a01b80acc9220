// The per-user state file: $XDG_DATA_HOME/Veldra/appstate (default ~/.local/share), holding the
// master key from which every PIN token key is derived. Folder 0700, file 0600, never a symlink.
#pragma once

#include <cstdint>
#include <map>
#include <string>

constexpr size_t MASTER_KEY_LENGTH = 32;

// Fills key with the stored master key, or with a new one that it stores first.
// Throws std::runtime_error with the failure's text.
void load_master_key(uint8_t (&key)[MASTER_KEY_LENGTH]);

// The folder of the state file.
std::string appstate_directory();
// Creates the folder chain (0700) when missing and restores the owner-only modes of the folder
// and of the file when they are wider; refuses a symlink at either place.
void ensure_appstate_file(const std::string& folder);
// Name-to-value map of the file's lines (first "=" splits; first occurrence of a name wins).
std::map<std::string, std::string> read_appstate(const std::string& folder);
// Parses the file's text.
std::map<std::string, std::string> parse_appstate(const std::string& text);
