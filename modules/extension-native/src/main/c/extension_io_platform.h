// The platform half of the frame routines: the standard streams as raw byte channels.
#pragma once

#include <cstddef>
#include <cstdint>

// Standard input and output as the frame routines name them.
constexpr int EXTENSION_STDIN = 0;
constexpr int EXTENSION_STDOUT = 1;

// Writes all of data to standard output; output errors are ignored.
void extension_write_bytes(const void* data, size_t length);
