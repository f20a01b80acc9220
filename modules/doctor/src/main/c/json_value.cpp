#include "json_value.h"

#include <cstdio>
#include <cstring>

#include "json.h"

namespace {

constexpr int kMaxDepth = 64;

class Reader {
public:
    explicit Reader(const std::string& text) : text_(text) {}

    bool document(JsonValue& value) {
        skip_space();
        if (!parse(value, 0)) return false;
        skip_space();
        return at_ == text_.size() || fail("text after the value");
    }
    const std::string& error() const { return error_; }

private:
    bool fail(const char* what) {
        if (error_.empty()) {
            char where[48];
            std::snprintf(where, sizeof where, " at byte %zu", at_);
            error_ = what + std::string(where);
        }
        return false;
    }
    void skip_space() {
        while (at_ < text_.size() &&
               (text_[at_] == ' ' || text_[at_] == '\t' || text_[at_] == '\n' || text_[at_] == '\r'))
            ++at_;
    }
    bool literal(const char* word) {
        const std::string w(word);
        if (text_.compare(at_, w.size(), w) != 0) return fail("unknown word");
        at_ += w.size();
        return true;
    }
    bool parse(JsonValue& value, int depth) {
        if (depth > kMaxDepth) return fail("nesting too deep");
        if (at_ >= text_.size()) return fail("a value is missing");
        switch (text_[at_]) {
        case '{': return object(value, depth);
        case '[': return array(value, depth);
        case '"': value.kind = JsonValue::Kind::String; return string(value.text);
        case 't':
            value.kind = JsonValue::Kind::Bool;
            value.boolean = true;
            return literal("true");
        case 'f': value.kind = JsonValue::Kind::Bool; return literal("false");
        case 'n': value.kind = JsonValue::Kind::Null; return literal("null");
        default: value.kind = JsonValue::Kind::Number; return number(value.text);
        }
    }
    bool object(JsonValue& value, int depth) {
        value.kind = JsonValue::Kind::Object;
        ++at_;
        skip_space();
        if (at_ < text_.size() && text_[at_] == '}') return ++at_, true;
        for (;;) {
            skip_space();
            std::string name;
            if (at_ >= text_.size() || text_[at_] != '"') return fail("a member name is missing");
            if (!string(name)) return false;
            skip_space();
            if (at_ >= text_.size() || text_[at_] != ':') return fail("\":\" is missing");
            ++at_;
            skip_space();
            value.members.push_back({std::move(name), JsonValue()});
            if (!parse(value.members.back().value, depth + 1)) return false;
            skip_space();
            if (at_ < text_.size() && text_[at_] == ',') {
                ++at_;
                continue;
            }
            if (at_ < text_.size() && text_[at_] == '}') return ++at_, true;
            return fail("\",\" or \"}\" is missing");
        }
    }
    bool array(JsonValue& value, int depth) {
        value.kind = JsonValue::Kind::Array;
        ++at_;
        skip_space();
        if (at_ < text_.size() && text_[at_] == ']') return ++at_, true;
        for (;;) {
            skip_space();
            value.items.emplace_back();
            if (!parse(value.items.back(), depth + 1)) return false;
            skip_space();
            if (at_ < text_.size() && text_[at_] == ',') {
                ++at_;
                continue;
            }
            if (at_ < text_.size() && text_[at_] == ']') return ++at_, true;
            return fail("\",\" or \"]\" is missing");
        }
    }
    // The string's extent is found here (with the place of a fault); its escapes are decoded by the
    // host's own request reader.
    bool string(std::string& out) {
        const size_t body = ++at_;
        while (at_ < text_.size()) {
            const unsigned char c = static_cast<unsigned char>(text_[at_]);
            if (c == '"') {
                if (!json_unescape(text_.data() + body, at_ - body, out)) return fail("a broken \\u escape");
                return ++at_, true;
            }
            if (c < 0x20) return fail("a control character in a string");
            if (c == '\\') {
                if (++at_ >= text_.size()) break;
                if (text_[at_] == '\0' || !std::strchr("\"\\/bfnrtu", text_[at_])) return fail("an unknown escape");
            }
            ++at_;
        }
        return fail("a string is not closed");
    }
    bool digits() {
        const size_t from = at_;
        while (at_ < text_.size() && text_[at_] >= '0' && text_[at_] <= '9') ++at_;
        return at_ > from;
    }
    bool number(std::string& out) {
        const size_t from = at_;
        if (text_[at_] == '-') ++at_;
        if (at_ < text_.size() && text_[at_] == '0') {
            ++at_;
        } else if (!digits()) {
            return fail("an unexpected character");
        }
        if (at_ < text_.size() && text_[at_] == '.' && (++at_, !digits()))
            return fail("a number has no digits after \".\"");
        if (at_ < text_.size() && (text_[at_] == 'e' || text_[at_] == 'E')) {
            ++at_;
            if (at_ < text_.size() && (text_[at_] == '+' || text_[at_] == '-')) ++at_;
            if (!digits()) return fail("a number has no exponent digits");
        }
        out = text_.substr(from, at_ - from);
        return true;
    }

    const std::string& text_;
    size_t at_ = 0;
    std::string error_;
};

}  // namespace

const JsonValue* JsonValue::member(const std::string& name) const {
    for (const auto& [key, value] : members)
        if (key == name) return &value;
    return nullptr;
}

bool json_value_parse(const std::string& text, JsonValue& value, std::string& error) {
    Reader reader(text);
    value = JsonValue();
    if (reader.document(value)) return true;
    error = reader.error();
    return false;
}
