#include "plugin-api-ext.h"

#include <cstdint>
#include <cstring>
#include <vector>

#include "log.h"
#include "plugin-api-system.h"
#include "util.h"

namespace {

constexpr size_t PAD_NAME_SIZE = 500;   // at most 498 characters
constexpr size_t HASH_MAX_BYTES = 50;   // 100 hex digits
constexpr int32_t PADS_TIMEOUT_SECONDS = 30;
constexpr int32_t CAPTURE_TIMEOUT_SECONDS = 60;

Watcher* watcher_of(api_ctx* ctx) { return ctx ? ctx->watcher : nullptr; }

// GET_PADS. No pad family is built in yet, so the list is always empty.
void get_pads(api_ctx* ctx, json_message*, json_response* response) {
    watcher_set_timeout(watcher_of(ctx), PADS_TIMEOUT_SECONDS);
    const int count = 0;
    LOG_DEBUG("Found %d pad(s)", count);
    json_response_begin(response);
    json_response_append(response, 64, "\"%s\": [", "padList");
    json_response_append(response, 1, "]");
    json_response_end(response);
}

// COMPUTE_SIGNATURE_IMAGE. The request is checked as for a real capture; with no pad family built
// in, no pad of any name can be opened.
void compute_signature_image(api_ctx* ctx, json_message* message, json_response* response) {
    char pad[PAD_NAME_SIZE];
    if (!json_get_value(message, "pad", pad, sizeof pad)) {
        json_response_error(response, 99, "Message [%s] misses a field named [%s]", message->text, "pad");
        return;
    }
    // Room for the whole value, so that an over-long hash is seen as such and not cut to size.
    std::vector<char> hash(std::strlen(message->text) + 2);
    if (!json_get_value(message, "hash", hash.data(), hash.size())) {
        json_response_error(response, 99, "Message [%s] misses a field named [%s]", message->text, "hash");
        return;
    }
    uint8_t hashBytes[HASH_MAX_BYTES];
    if (hex_to_bytes(hash.data(), hashBytes, sizeof hashBytes) < 0) {
        json_response_error(response, 7, "Invalid hash [%s]. Should be maximum %d hex characters", hash.data(),
                            static_cast<int>(2 * HASH_MAX_BYTES));
        return;
    }
    watcher_set_timeout(watcher_of(ctx), CAPTURE_TIMEOUT_SECONDS);
    json_response_error(response, 21, "Signature pad [%s] not found%s", pad, "");
}

}  // namespace

bool pad_command_group(api_ctx* ctx, json_message* message, const char* cmd, json_response* response) {
    if (std::strcmp(cmd, "GET_PADS") == 0) {
        get_pads(ctx, message, response);
    } else if (std::strcmp(cmd, "COMPUTE_SIGNATURE_IMAGE") == 0) {
        compute_signature_image(ctx, message, response);
    } else if (std::strcmp(cmd, "GET_SYSTEM_INFO") == 0) {
        get_system_info(ctx, response);
    } else {
        return false;
    }
    return true;
}
