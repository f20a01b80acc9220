// The platform half of the frame routines (extension_io_platform.h) over memory, linked into the
// fuzzer instead of the POSIX one.
#include "fuzz_io.h"

#include <algorithm>
#include <cstring>

#include "extension_io.h"
#include "extension_io_platform.h"
#include "veldra_assert.h"

namespace {

std::string input;
size_t position = 0;
std::string output;

}  // namespace

namespace FuzzIo {

void SetInput(std::string bytes) {
    input = std::move(bytes);
    position = 0;
}

std::string TakeOutput() {
    std::string taken;
    taken.swap(output);
    return taken;
}

}  // namespace FuzzIo

void extension_set_binary_mode(int) {}

size_t extension_read_bytes(uint8_t* buffer, size_t count) {
    VELDRA_ASSERT(buffer);
    const size_t n = std::min(count, input.size() - position);
    if (n > 0) std::memcpy(buffer, input.data() + position, n);
    position += n;
    return n;
}

void extension_end_reading() {}

void extension_write_bytes(const void* data, size_t length) { output.append(static_cast<const char*>(data), length); }
