#include "plugin-api.h"

#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "caller_site.h"
#include "json.h"
#include "log.h"
#include "plugin-api-ext.h"
#include "plugin-api-pkcs.h"
#include "veldra_assert.h"

namespace {

// Base-10 conversion as strtol does it (leading blanks, a sign, stops at the first non-digit),
// clamped into [low, high].
long long read_decimal(const char* text, long long low, long long high) {
    const long long value = std::strtoll(text, nullptr, 10);
    return value < low ? low : value > high ? high : value;
}

void run_timeout(api_ctx* ctx, json_message* message, json_response* response) {
    char sleepText[20], timeoutText[20];
    if (!json_get_value(message, "sleep", sleepText, sizeof sleepText) ||
        !json_get_value(message, "timeout", timeoutText, sizeof timeoutText)) {
        json_response_error(response, 99, "Missing or invalid parameters");
        return;
    }
    const long long sleepSeconds = read_decimal(sleepText, 0, 86400);
    const long long timeoutSeconds = read_decimal(timeoutText, INT32_MIN, INT32_MAX);
    VELDRA_ASSERT(ctx);
    VELDRA_ASSERT(ctx->watcher);
    watcher_set_timeout(ctx->watcher, static_cast<int32_t>(timeoutSeconds));
    std::this_thread::sleep_for(std::chrono::milliseconds(sleepSeconds * 1000));
    json_response_begin(response);
    json_response_add_bool(response, "rested", true, true);
    json_response_end(response);
}

void route(api_ctx* ctx, const char* request, json_response* response) {
    // Answers that quote the request quote it with its PIN and token masked: answers end up in logs.
    // Only a request that fails is quoted, so only then is it masked.
    const std::unique_ptr<json_message, void (*)(json_message*)> message(json_parse(request), json_free);
    if (!message) {
        json_response_error(response, 99, "Invalid JSON message [%s]", log_mask_secrets(request).c_str());
        return;
    }
    char debug[10];
    json_get_value(message.get(), "debug", debug, sizeof debug);
    debug_enabled.store(std::strcmp(debug, "true") == 0);

    char cmd[100];
    if (!json_get_value(message.get(), "cmd", cmd, sizeof cmd)) {
        json_response_error(response, 99, "Invalid JSON message [%s]. [%s] value not found",
                            log_mask_secrets(request).c_str(), "cmd");
        return;
    }
    // The calling site, when the extension names it. A value that is not an origin is refused: taken
    // as absent, the request would pass for one without a site.
    std::string site;
    api_ctx withSite;
    switch (read_caller_site(message.get(), site)) {
    case CallerSite::Invalid:
        json_response_error(response, 99, "Invalid JSON message [%s]. [%s] value not valid",
                            log_mask_secrets(request).c_str(), "callerOrigin");
        return;
    case CallerSite::Valid:
        if (!ctx) break;  // no context: no dialog and no token, for which the site would count
        withSite = *ctx;
        withSite.site = site.c_str();
        ctx = &withSite;
        break;
    case CallerSite::Absent: break;
    }

    if (std::strcmp(cmd, "GET_INFO") == 0) {
        LOG_DEBUG("Getting info");
        json_response_begin(response);
        json_response_add_string(response, "version", "2.0.2", false);
        json_response_add_string(response, "binVersion", "2.0.14", true);
        json_response_end(response);
    } else if (card_command_group(cmd, message.get(), ctx, response)) {
    } else if (std::strcmp(cmd, "TIMEOUT") == 0) {
        run_timeout(ctx, message.get(), response);
    } else if (!pad_command_group(ctx, message.get(), cmd, response)) {
        json_response_error(response, 99, "Error handling JSON message [%s]. Unknown command [%s]",
                            log_mask_secrets(request).c_str(), cmd);
    }
}

}  // namespace

char* handle_command(api_ctx* ctx, const char* jsonCommandString) {
    VELDRA_ASSERT(jsonCommandString);
    json_response* response = json_response_new();
    route(ctx, jsonCommandString, response);
    if (response->failed) json_response_error(response, 99, "Failed to allocate memory for the response");
    return json_response_release(response);
}
