// The tokenizer's definitions are compiled here alone; json.h gives everyone else its declarations.
#include <jsmn.h>

#include "json_tokenizer.h"

json_tokens json_tokenize(const char* text, size_t length, jsmntok_t* tokens) {
    jsmn_parser parser;
    jsmn_init(&parser);
    const int result = jsmn_parse(&parser, text, length, tokens, JSON_MAX_TOKENS);
    return {result, static_cast<int>(parser.toknext), static_cast<size_t>(parser.pos)};
}
