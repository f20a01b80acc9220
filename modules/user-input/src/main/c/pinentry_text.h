// The texts sent to pinentry and the decoding of what it sends back (Assuan lines).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "secret.h"

// The longest line pinentry accepts, LF not counted; a longer one makes it exit without an answer.
constexpr std::size_t kPinentryLineLimit = 1000;

// Valid UTF-8 unchanged; otherwise every byte becomes one character: ASCII as it is, the bytes
// 80 to FF as the units FF80 to FFFF (the byte taken as a signed value), written as UTF-8.
std::string pinentry_widen_bytes(std::string_view text);

// Doubles every underscore, for the labels in which the toolkit reads "_" as a mnemonic mark.
std::string pinentry_double_underscores(std::string_view text);

// The command line "NAME text" without its LF: text (valid UTF-8) percent-escaped ("%", control
// characters, DEL, and spaces in front, which the server would skip), cut on a character boundary
// so that the whole line stays within kPinentryLineLimit.
std::string pinentry_command(std::string_view name, std::string_view text);

// Appends the unescaped payload of a "D" line to out, keeping at most limit bytes in out.
void pinentry_unescape_append(std::string_view data, Utils::SecretBytes& out, std::size_t limit);

// The number of bytes that the first `characters` characters of the UTF-8 text take.
std::size_t pinentry_prefix_bytes(const char* text, std::size_t size, std::size_t characters);
