// A strict JSON reader for the files the doctor examines (native messaging manifests, the host's
// answer): the whole text must be one JSON value, and the first fault is reported with its byte.
#pragma once

#include <string>
#include <vector>

struct JsonMember;

struct JsonValue {
    enum class Kind { Null, Bool, Number, String, Array, Object };
    Kind kind = Kind::Null;
    bool boolean = false;
    std::string text;  // a string's decoded text, a number's digits
    std::vector<JsonValue> items;
    std::vector<JsonMember> members;  // in the order of the text

    // The first member of that name, or null (also when this is not an object).
    const JsonValue* member(const std::string& name) const;
};

struct JsonMember {
    std::string name;
    JsonValue value;
};

// False, with the fault and its byte offset in error, when text is not one JSON value.
bool json_value_parse(const std::string& text, JsonValue& value, std::string& error);
