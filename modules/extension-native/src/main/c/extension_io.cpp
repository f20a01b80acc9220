#include "extension_io.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include "extension_io_platform.h"
#include "json.h"
#include "log.h"
#include "secret.h"
#include "veldra_assert.h"

namespace {

char* read_request() {
    uint8_t prefix[4];
    const size_t received = extension_read_bytes(prefix, sizeof prefix);
    if (received < sizeof prefix) {
        LOG_DEBUG("Error reading request length. Received %d byte(s), expected %d", static_cast<int>(received), 4);
        return nullptr;
    }
    const uint32_t length = static_cast<uint32_t>(prefix[0]) | static_cast<uint32_t>(prefix[1]) << 8 |
                            static_cast<uint32_t>(prefix[2]) << 16 | static_cast<uint32_t>(prefix[3]) << 24;
    if (length >= EXTENSION_MAX_REQUEST) {
        LOG_DEBUG("Request length exceeds maximum of %d bytes", static_cast<int>(EXTENSION_MAX_REQUEST));
        return nullptr;
    }
    auto* text = static_cast<char*>(std::malloc(static_cast<size_t>(length) + 1));
    if (!text) {
        LOG_DEBUG("Failed to allocate memory size %d", static_cast<int>(length));
        return nullptr;
    }
    const size_t got = extension_read_bytes(reinterpret_cast<uint8_t*>(text), length);
    if (got < length) {
        LOG_DEBUG("Error reading request data. Received %d byte(s), expected %d", static_cast<int>(got),
                  static_cast<int>(length));
        Utils::wipe_bytes(text, got);  // part of a request may be a PIN
        std::free(text);
        return nullptr;
    }
    text[length] = '\0';
    return text;
}

}  // namespace

char* extension_read_request() {
    char* text = read_request();
    extension_end_reading();
    return text;
}

void extension_write_response(const char* data) {
    VELDRA_ASSERT(data);
    extension_set_binary_mode(EXTENSION_STDOUT);
    std::string refusal;
    const size_t size = std::strlen(data);
    if (size > EXTENSION_MAX_RESPONSE) {
        // A browser drops a longer answer with a failure of its own that tells the page nothing.
        json_response builder;
        json_response_init(&builder);
        json_response_error(&builder, 99, "Response of %lu bytes exceeds the maximum of %lu bytes",
                            static_cast<unsigned long>(size), static_cast<unsigned long>(EXTENSION_MAX_RESPONSE));
        refusal = builder.data;
        json_response_free(&builder);
        data = refusal.c_str();
    }
    const uint32_t length = static_cast<uint32_t>(std::strlen(data));
    // One write for the whole frame: the browser is woken once, with all of it. An answer's token is
    // not wiped here: the answer itself is not either (see write_pin_result).
    std::string frame;
    frame.reserve(4 + static_cast<size_t>(length));
    for (int shift = 0; shift < 32; shift += 8) frame.push_back(static_cast<char>(length >> shift));
    frame.append(data, length);
    extension_write_bytes(frame.data(), frame.size());
    LOG_DEBUG("sent length [%d]", static_cast<int>(length));
    LOG_DEBUG("sent [%s]", log_mask_secrets(data).c_str());
}
