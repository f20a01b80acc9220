// The platform half of the frame routines: the standard streams as raw byte channels.
#pragma once

#include <cstddef>
#include <cstdint>

// Standard input and output as the frame routines name them.
constexpr int EXTENSION_STDIN = 0;
constexpr int EXTENSION_STDOUT = 1;

// Standard input is read no more (the request frame is read, or failed): ends what reading needed
// (the Windows reader thread of a pipe that cannot be peeked).
void extension_end_reading();
// Writes all of data to standard output; output errors are ignored.
void extension_write_bytes(const void* data, size_t length);
