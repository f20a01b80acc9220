// The per-user state file "appstate" in the folder "Veldra", holding the master key from which every
// PIN token key is derived. On POSIX: $XDG_DATA_HOME (default ~/.local/share), folder 0700, file 0600,
// never a symlink (appstate_posix.cpp). On Windows: FOLDERID_LocalAppData, the file's DACL protected
// and owner-only (appstate_win.cpp).
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
// Creates the folder chain when missing and restores the owner-only protection of the file (and on
// POSIX of the folder) when it is wider; refuses a symlink at either place.
void ensure_appstate_file(const std::string& folder);
// Name-to-value map of the file's lines (first "=" splits; first occurrence of a name wins).
std::map<std::string, std::string> read_appstate(const std::string& folder);
// Parses the file's text.
std::map<std::string, std::string> parse_appstate(const std::string& text);
