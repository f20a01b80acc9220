// Reading DER headers: the card's token information and certificates are walked element by element.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// One DER element at bytes[at]: its tag, where its content starts and how long it is, in every length
// form a card file can hold (short, or long with one to three length octets). False when the header
// is not all in bytes, or its length is indefinite or wider. The content itself may run past the end
// of bytes (a head of a file was read): the caller checks what it uses.
bool der_element(const std::vector<uint8_t>& bytes, size_t at, uint8_t& tag, size_t& content, size_t& length);
