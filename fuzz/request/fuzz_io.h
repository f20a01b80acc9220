// The frame routines' byte channels over memory: standard input is a buffer that has ended,
// standard output a string that collects what the host writes.
#pragma once

#include <string>

namespace FuzzIo {

// What the next reads take; a read that wants more than is left gets what is left, as a closed
// input whose read window has passed.
void SetInput(std::string bytes);
// Everything written since the last call, which empties it.
std::string TakeOutput();

}  // namespace FuzzIo
