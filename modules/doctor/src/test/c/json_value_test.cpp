// The manifest reader: what browsers refuse as JSON is refused with its place, what they accept is read.
#include <gtest/gtest.h>

#include "json_value.h"

TEST(JsonValue, RefusesWhatIsNotOneJsonValue) {
    const std::pair<const char*, const char*> cases[] = {
        {"{\"name\":\"a\",}", "a member name is missing at byte 12"},
        {"{\"name\":\"a\"", "\",\" or \"}\" is missing at byte 11"},
        {"{\"name\":'a'}", "an unexpected character at byte 8"},
        {"{\"path\":\"C:\\x\"}", "an unknown escape at byte 12"},
        {"{\"a\":1} {}", "text after the value at byte 8"},
        {"[01]", "\",\" or \"]\" is missing at byte 2"},
        {"{\"a\":\"x\ny\"}", "a control character in a string at byte 7"},
        {"", "a value is missing at byte 0"},
    };
    for (const auto& [text, fault] : cases) {
        JsonValue value;
        std::string error;
        EXPECT_FALSE(json_value_parse(text, value, error)) << text;
        EXPECT_EQ(error, fault) << text;
    }
}

TEST(JsonValue, ReadsAManifest) {
    JsonValue value;
    std::string error;
    ASSERT_TRUE(
        json_value_parse(" {\"name\":\"org.x\",\"path\":\"C:\\\\Program Files\\\\h.exe\",\"n\":-1.5e3,"
                         "\"allowed_origins\":[\"a\\u00e9\\ud83d\\ude00\",true,null]}\n",
                         value, error))
        << error;
    EXPECT_EQ(value.member("path")->text, "C:\\Program Files\\h.exe");
    EXPECT_EQ(value.member("n")->text, "-1.5e3");
    const JsonValue* list = value.member("allowed_origins");
    ASSERT_EQ(list->items.size(), 3u);
    EXPECT_EQ(list->items[0].text, "a\xC3\xA9\xF0\x9F\x98\x80");
    EXPECT_EQ(list->items[1].kind, JsonValue::Kind::Bool);
    EXPECT_EQ(value.member("missing"), nullptr);
}
