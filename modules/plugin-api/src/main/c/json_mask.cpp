// The copy of a request or answer text that a log line or an answer may show: whatever could be a
// PIN or a token is hidden. A well-formed text is masked as the reader reads it; a text that is
// not JSON is hidden from its first doubtful point on.
#include "json.h"
#include "json_text.h"
#include "json_tokenizer.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "hex.h"

namespace {

constexpr size_t NO_FAULT = static_cast<size_t>(-1);

// The reader's secret members: a name in whatever form the text writes it, escapes decoded.
bool is_secret_name(const char* text, const jsmntok_t& token) {
    if (token.type != JSMN_STRING && token.type != JSMN_PRIMITIVE) return false;
    const char* raw = text + token.start;
    const size_t length = static_cast<size_t>(token.end - token.start);
    std::string name(raw, length);
    if (std::memchr(raw, '\\', length) && !json_unescape(raw, length, name)) return false;
    return name == "pin" || name == "pinToken";
}

// The character at text[at], raw or as a \uXXXX escape, with where the next one starts.
char character_at(const char* text, size_t length, size_t at, size_t& next) {
    next = at + 1;
    if (text[at] != '\\' || at + 1 >= length || text[at + 1] != 'u') return text[at];
    const long unit = json_utf16_unit(text, length, at + 2);
    if (unit < 0) return text[at];
    next = at + 6;
    return unit < 0x80 ? static_cast<char>(unit) : '\0';
}

// Where the first name that could be a secret begins: "pin" ("pinToken" too) with each letter raw
// or escaped, inside a string or not; length when there is none.
size_t first_possible_secret(const char* text, size_t length) {
    for (size_t at = 0; at < length; ++at) {
        size_t next = at;
        bool found = true;
        for (const char letter : {'p', 'i', 'n'}) {
            if (next >= length || character_at(text, length, next, next) != letter) {
                found = false;
                break;
            }
        }
        if (found) return at;
    }
    return length;
}

// JSON's grammar (RFC 8259), without recursion: the offset of the first byte that breaks it
// (length when the text ends too early), NO_FAULT when text is one JSON value.
class Grammar {
public:
    Grammar(const char* text, size_t length) : text_(text), length_(length) {}

    size_t fault() {
        enum class Want { Value, ValueOrClose, Name, NameOrClose, After } want = Want::Value;
        std::vector<char> open;
        for (;;) {
            skip_space();
            if (at_ >= length_) return want == Want::After && open.empty() ? NO_FAULT : length_;
            const char c = text_[at_];
            switch (want) {
            case Want::ValueOrClose:
            case Want::NameOrClose:
                if (c == (want == Want::ValueOrClose ? ']' : '}')) {
                    open.pop_back();
                    ++at_;
                    want = Want::After;
                    continue;
                }
                want = want == Want::ValueOrClose ? Want::Value : Want::Name;
                continue;
            case Want::Name:
                if (c != '"' || !string()) return at_;
                skip_space();
                if (at_ >= length_ || text_[at_] != ':') return at_;
                ++at_;
                want = Want::Value;
                continue;
            case Want::Value:
                if (c == '{' || c == '[') {
                    open.push_back(c);
                    ++at_;
                    want = c == '{' ? Want::NameOrClose : Want::ValueOrClose;
                    continue;
                }
                if (!(c == '"'   ? string()
                      : c == 't' ? word("true")
                      : c == 'f' ? word("false")
                      : c == 'n' ? word("null")
                                 : number()))
                    return at_;
                want = Want::After;
                continue;
            case Want::After:
                if (open.empty()) return at_;
                if (c == ',') {
                    ++at_;
                    want = open.back() == '{' ? Want::Name : Want::Value;
                } else if (c == (open.back() == '{' ? '}' : ']')) {
                    open.pop_back();
                    ++at_;
                } else {
                    return at_;
                }
                continue;
            }
        }
    }

private:
    void skip_space() {
        while (at_ < length_ && std::strchr(" \t\r\n", text_[at_])) ++at_;
    }
    bool is_digit() const { return at_ < length_ && text_[at_] >= '0' && text_[at_] <= '9'; }
    bool digits() {
        if (!is_digit()) return false;
        while (is_digit()) ++at_;
        return true;
    }
    bool word(const char* expected) {
        for (; *expected; ++expected, ++at_)
            if (at_ >= length_ || text_[at_] != *expected) return false;
        return true;
    }
    bool number() {
        if (at_ < length_ && text_[at_] == '-') ++at_;
        if (at_ < length_ && text_[at_] == '0') ++at_;
        else if (!digits()) return false;
        if (at_ < length_ && text_[at_] == '.' && (++at_, !digits())) return false;
        if (at_ < length_ && (text_[at_] == 'e' || text_[at_] == 'E')) {
            ++at_;
            if (at_ < length_ && (text_[at_] == '+' || text_[at_] == '-')) ++at_;
            if (!digits()) return false;
        }
        return true;
    }
    // From the opening quote past the closing one; on a fault at_ is where it lies.
    bool string() {
        for (++at_; at_ < length_; ++at_) {
            const auto c = static_cast<unsigned char>(text_[at_]);
            if (c == '"') {
                ++at_;
                return true;
            }
            if (c < 0x20) return false;
            if (c != '\\') continue;
            if (++at_ >= length_) return false;
            if (text_[at_] == 'u') {
                for (int i = 0; i < 4; ++i)
                    if (++at_ >= length_ || hex_digit_value(text_[at_]) < 0) return false;
            } else if (!std::strchr("\"\\/bfnrt", text_[at_])) {
                return false;
            }
        }
        return false;
    }

    const char* text_;
    size_t length_;
    size_t at_ = 0;
};

}  // namespace

std::string log_mask_secrets(const char* text) {
    if (!text) return {};
    const size_t length = std::strlen(text);
    // The reader's own tokenizer and token bound: what it would take for a secret is hidden.
    std::vector<jsmntok_t> tokens(JSON_MAX_TOKENS);
    const json_tokens read = json_tokenize(text, length, tokens.data());
    const int result = read.result;
    const int count = result > 0 ? result : read.filled;
    std::vector<bool> hidden(length, false);
    const auto hide = [&](size_t from, size_t to) {
        for (size_t i = from; i < to && i < length; ++i) hidden[i] = true;
    };
    for (int i = 0; i < count; ++i) {
        if (!is_secret_name(text, tokens[i])) continue;
        if (i + 1 >= count) {  // the value, if any, lies past the last complete token
            hide(static_cast<size_t>(tokens[i].end) + 1, length);
            continue;
        }
        const jsmntok_t& value = tokens[i + 1];
        hide(static_cast<size_t>(value.start), value.end < 0 ? length : static_cast<size_t>(value.end));
    }
    // A text that is not JSON may hold a secret where the tokens do not show one (a name without
    // its quotes, a string that swallows the quote before the name, a cut-off text): everything
    // from where the reader stopped, or from the first name that could be a secret, is hidden.
    if (result < 0 || Grammar(text, length).fault() != NO_FAULT) {
        size_t from = first_possible_secret(text, length);
        if (result < 0) from = std::min<size_t>(from, read.stop);
        hide(from, length);
    }
    std::string out;
    out.reserve(length);
    for (size_t i = 0; i < length; ++i) {
        if (!hidden[i]) {
            out += text[i];
        } else if (i == 0 || !hidden[i - 1]) {
            out += "***";
        }
    }
    return out;
}
