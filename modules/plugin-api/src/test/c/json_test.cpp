#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>

#include "json.h"

namespace {

std::string value_of(const char* text, const char* key, size_t size = 100) {
    json_message* message = json_parse(text);
    if (!message) return "<parse failed>";
    std::string buffer(size, 'x');
    const bool found = json_get_value(message, key, buffer.data(), size);
    json_free(message);
    return found ? std::string(buffer.c_str()) : "<not found>";
}

std::string error_of(int code, const char* format, const char* argument) {
    json_response builder;
    json_response_init(&builder);
    json_response_error(&builder, code, format, argument);
    std::string text(builder.data);
    EXPECT_EQ(builder.length, text.size());
    json_response_free(&builder);
    return text;
}

}  // namespace

TEST(JsonReader, ParseFailures) {
    EXPECT_EQ(json_parse(""), nullptr);
    EXPECT_EQ(json_parse(" \t\r\n"), nullptr);
    EXPECT_EQ(json_parse("{\"a\":\"x"), nullptr);           // ends inside a string
    EXPECT_EQ(json_parse("{\"a\":[1}"), nullptr);           // mismatched bracket
    EXPECT_EQ(json_parse("{\"a\":\"\\q\"}"), nullptr);      // unknown escape
    EXPECT_EQ(json_parse("{\"a\":\"\\u12g4\"}"), nullptr);  // bad \u digit
    EXPECT_EQ(json_parse("{\"a\":t\xC3\xA9}"), nullptr);    // non-ASCII in a primitive
}

TEST(JsonReader, TokenLimitIs250) {
    std::string ok = "[", over = "[";
    for (int i = 0; i < 249; ++i) ok += i ? ",1" : "1";
    for (int i = 0; i < 250; ++i) over += i ? ",1" : "1";
    ok += "]";
    over += "]";
    json_message* message = json_parse(ok.c_str());
    ASSERT_NE(message, nullptr);
    EXPECT_EQ(message->count, 250);
    json_free(message);
    EXPECT_EQ(json_parse(over.c_str()), nullptr);
}

TEST(JsonReader, LookupMatchesTheFirstStringTokenWhateverItsRole) {
    // The value "cmd" of member a comes first: the lookup returns the token after it, the name cmd.
    EXPECT_EQ(value_of(R"({"a":"cmd","cmd":"GET_INFO"})", "cmd"), "cmd");
    // A key that is the very last token is never matched.
    EXPECT_EQ(value_of(R"({"x":"cmd"})", "cmd"), "<not found>");
    EXPECT_EQ(value_of(R"({"cmd":"GET_INFO"})", "CMD"), "<not found>");
    // Primitives, escapes kept as written, nested values whole; unquoted words are accepted.
    EXPECT_EQ(value_of(R"({"n":42})", "n"), "42");
    EXPECT_EQ(value_of(R"({"s":"a\"b"})", "s"), "a\\\"b");
    EXPECT_EQ(value_of(R"({"o":{"x":[1,2]},"z":1})", "o"), R"({"x":[1,2]})");
    EXPECT_EQ(value_of(R"({"w":hello})", "w"), "hello");
}

TEST(JsonReader, ValuesAreCutToTheBufferLessTwo) {
    EXPECT_EQ(value_of(R"({"debug":"truetruet"})", "debug", 10), "truetrue");
    EXPECT_EQ(value_of(R"({"k":"abc"})", "k", 5), "abc");
    EXPECT_EQ(value_of(R"({"k":"abcd"})", "k", 5), "abc");
}

TEST(JsonWriter, BuildsObjectsWithTheMemberFormats) {
    json_response builder;
    json_response_init(&builder);
    json_response_begin(&builder);
    json_response_add_string(&builder, "s", "v", false);
    json_response_add_int(&builder, "n", -3, false);
    json_response_begin_array(&builder, "list");
    json_response_end_array(&builder);
    json_response_separator(&builder);
    json_response_begin_object(&builder, "o");
    json_response_add_bool(&builder, "b", true, true);
    json_response_end_object(&builder);
    json_response_end(&builder);
    EXPECT_STREQ(builder.data, R"({"s":"v","n":-3,"list": [],"o":{"b":true}})");
    EXPECT_EQ(builder.nestlevel, 0);
    json_response_free(&builder);
}

TEST(JsonWriter, GrowsPastTheInitialBufferWhateverTheHint) {
    json_response builder;
    json_response_init(&builder);
    json_response_begin(&builder);
    const std::string big(50000, 'A');
    json_response_append(&builder, 1, "\"%s\":\"%s\"%s", "data", big.c_str(), "");
    json_response_end(&builder);
    EXPECT_EQ(builder.length, big.size() + 11);
    EXPECT_EQ(nlohmann::json::parse(builder.data)["data"].get<std::string>().size(), big.size());
    json_response_free(&builder);
}

TEST(JsonWriter, StringMembersAreEscaped) {
    json_response builder;
    json_response_init(&builder);
    json_response_begin(&builder);
    json_response_add_string(&builder, "name", "a\"b\\c\nd\x01", true);
    json_response_end(&builder);
    EXPECT_EQ(nlohmann::json::parse(builder.data)["name"], "a\"b\\c\nd\x01");
    json_response_free(&builder);
}

TEST(JsonError, FormatQuotesAndTrailingNewline) {
    EXPECT_EQ(error_of(99, "Invalid JSON message [%s]", R"({"cmd":"X"})"),
              "{\"error\": { \"code\":99,\"id\":99,\"message\":\"Invalid JSON message [{ cmd : X }]\"}}\n");
    json_response builder;
    json_response_init(&builder);
    json_response_error_with_id(&builder, 2, 1, "%s", "Card reader [R] not found");
    EXPECT_STREQ(builder.data, "{\"error\": { \"code\":2,\"id\":1,\"message\":\"Card reader [R] not found\"}}\n");
    json_response_free(&builder);
}

TEST(JsonError, AlwaysValidJsonWhateverTheMessageHolds) {
    const char* nasty[] = {"back\\slash", "new\nline\ttab", "ctl\x01\x1f", "bad utf8 \xff\xc3", "\xe2\x82\xac ok"};
    for (const char* text : nasty) {
        const auto parsed = nlohmann::json::parse(error_of(99, "[%s]", text));
        EXPECT_EQ(parsed["error"]["code"], 99) << text;
    }
    EXPECT_EQ(nlohmann::json::parse(error_of(99, "%s", "\xe2\x82\xac"))["error"]["message"], "\xe2\x82\xac");
}

TEST(JsonError, CutAt1998CharactersNeverSplitsASequence) {
    std::string ascii(3000, 'a');
    auto message = nlohmann::json::parse(error_of(99, "%s", ascii.c_str()))["error"]["message"].get<std::string>();
    EXPECT_EQ(message.size(), 1998u);
    // 1997 ASCII bytes and a 2-byte letter: the letter would be split, so it is dropped whole.
    std::string split(1997, 'a');
    split += "\xc3\xa9tail";
    message = nlohmann::json::parse(error_of(99, "%s", split.c_str()))["error"]["message"].get<std::string>();
    EXPECT_EQ(message, std::string(1997, 'a'));
    // Backslashes near the cut become complete escapes.
    std::string slashes(2100, '\\');
    message = nlohmann::json::parse(error_of(99, "%s", slashes.c_str()))["error"]["message"].get<std::string>();
    EXPECT_EQ(message, std::string(1998, '\\'));
}

TEST(JsonWriterDeathTest, NestLevelInvariants) {
    json_response builder;
    json_response_init(&builder);
    EXPECT_DEATH(json_response_end(&builder), "message->nestlevel == 1");
    json_response_begin(&builder);
    EXPECT_DEATH(json_response_end_object(&builder), "message->nestlevel > 1");
    json_response_free(&builder);
}
