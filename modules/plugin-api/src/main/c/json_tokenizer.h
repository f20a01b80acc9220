// The one tokenizer of JSON text: jsmn, non-strict, at most JSON_MAX_TOKENS tokens, shared by the
// request reader and the mask so that both see a text the same way.
#pragma once

#include <cstddef>

#include "json.h"

struct json_tokens {
    int result;   // the number of tokens, or jsmn's negative error
    int filled;   // the tokens written, also when the text did not tokenize
    size_t stop;  // where the tokenizer stopped reading
};

// Tokenizes length bytes of text into tokens, which has room for JSON_MAX_TOKENS.
json_tokens json_tokenize(const char* text, size_t length, jsmntok_t* tokens);
