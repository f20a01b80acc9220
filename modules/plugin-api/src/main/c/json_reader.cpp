// The request reader: a text tokenized once (jsmn, non-strict, at most JSON_MAX_TOKENS tokens) and
// values fetched by member name, raw.
#include "json.h"

#include <cstdlib>
#include <cstring>

#include "json_tokenizer.h"
#include "log.h"
#include "secret.h"
#include "veldra_assert.h"

json_message* json_parse(const char* text) {
    VELDRA_ASSERT(text);
    auto* message = static_cast<json_message*>(std::calloc(1, sizeof(json_message)));
    if (!message) return nullptr;
    message->text = strdup(text);
    if (!message->text) {
        std::free(message);
        return nullptr;
    }
    LOG_DEBUG("Parsing message [%s]", log_mask_secrets(message->text).c_str());
    const int result = json_tokenize(message->text, std::strlen(message->text), message->tokens).result;
    if (result <= 0) {
        LOG_DEBUG("Error parsing message [%s], error code %d", log_mask_secrets(message->text).c_str(), result);
        json_free(message);
        return nullptr;
    }
    message->count = result;
    LOG_DEBUG("Message parsed, found %d tokens", result);
    return message;
}

bool json_get_value(const json_message* message, const char* key, char* value, size_t value_size) {
    VELDRA_ASSERT(message);
    VELDRA_ASSERT(key);
    VELDRA_ASSERT(value);
    VELDRA_ASSERT(value_size > 0);
    value[0] = '\0';
    const size_t keyLength = std::strlen(key);
    for (int i = 0; i + 1 < message->count; ++i) {
        const jsmntok_t& token = message->tokens[i];
        if (token.type != JSMN_STRING) continue;
        if (static_cast<size_t>(token.end - token.start) != keyLength) continue;
        if (std::memcmp(message->text + token.start, key, keyLength) != 0) continue;
        const jsmntok_t& next = message->tokens[i + 1];
        size_t length = static_cast<size_t>(next.end - next.start);
        const size_t room = value_size >= 2 ? value_size - 2 : 0;
        if (length > room) length = room;
        std::memcpy(value, message->text + next.start, length);
        value[length] = '\0';
        return true;
    }
    return false;
}

void json_free(json_message* message) {
    if (!message) return;
    if (message->text) Utils::wipe_bytes(message->text, std::strlen(message->text));  // it may hold a PIN
    std::free(message->text);
    std::free(message);
}
