#include "dialog_texts.h"

#include <cstdint>
#include <vector>

#include "i18n.h"
#include "utf8.h"

// Every text of this file that a person reads is marked N_ where it is written and passed through
// tr where it is used: the user's language (i18n.h).

namespace {

const char* tr(const char* text) { return Utils::translate(text); }

const char* const kEllipsis = "…";
const char* const kReplacement = "\xEF\xBF\xBD";  // U+FFFD

struct UseTexts {
    const char* title;      // "%s" is the site
    const char* firstLine;  // "%s" is the site
};

UseTexts use_texts(PinUse use) {
    switch (use) {
    case PinUse::Sign: return {N_("Sign for %s"), N_("%s asks for your PIN to sign with your card.")};
    case PinUse::LogIn: return {N_("Log in to %s"), N_("%s asks for your PIN to log you in with your card.")};
    case PinUse::Check: break;
    }
    return {N_("PIN check for %s"), N_("%s asks for your PIN to check it on your card.")};
}

const char* const kSiteWordsHeading = N_("The site adds, in its own words:");
const char* const kSiteWordsQuoted = N_("“%s”");
const char* const kFieldLabel = N_("PIN code");
const char* const kOkLabel = N_("OK");
const char* const kCancelLabel = N_("Cancel");

// The pattern with its "%s" replaced by value; a pattern without one gets value in front, so that
// no translation can leave the site out.
std::string fill(const char* pattern, const std::string& value) {
    std::string text(pattern);
    const std::size_t at = text.find("%s");
    if (at == std::string::npos) return value + ": " + text;
    return text.replace(at, 2, value);
}

uint32_t code_point(std::string_view text, std::size_t at, std::size_t length) {
    const auto byte = [&](std::size_t i) { return static_cast<uint32_t>(static_cast<uint8_t>(text[at + i])); };
    switch (length) {
    case 1: return byte(0);
    case 2: return (byte(0) & 0x1F) << 6 | (byte(1) & 0x3F);
    case 3: return (byte(0) & 0x0F) << 12 | (byte(1) & 0x3F) << 6 | (byte(2) & 0x3F);
    default: return (byte(0) & 0x07) << 18 | (byte(1) & 0x3F) << 12 | (byte(2) & 0x3F) << 6 | (byte(3) & 0x3F);
    }
}

bool ends_line(uint32_t c) {
    return c == '\n' || c == '\r' || c == 0x0B || c == 0x0C || c == 0x85 || c == 0x2028 || c == 0x2029;
}

// Controls, and the invisible characters that hide text or change the order in which it shows.
bool hidden(uint32_t c) {
    return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x061C || c == 0x180E || (c >= 0x200B && c <= 0x200F) ||
           (c >= 0x202A && c <= 0x202E) || (c >= 0x2060 && c <= 0x206F) || c == 0xFEFF || (c >= 0xFFF9 && c <= 0xFFFB);
}

struct Line {
    std::string text;
    std::size_t characters = 0;
};

// The lines of text with hidden characters removed, each trimmed of blanks; empty ones dropped.
void split_lines(std::string_view text, std::vector<Line>& lines) {
    Line line;
    std::size_t blanks = 0;  // trailing blanks held back until something follows them
    const auto finish = [&] {
        if (line.characters > 0) lines.push_back(line);
        line = Line();
        blanks = 0;
    };
    for (std::size_t at = 0; at < text.size();) {
        std::size_t length = Utils::utf8_sequence_length(text, at);
        const bool valid = length != 0;
        if (!valid) length = 1;
        const uint32_t c = valid ? code_point(text, at, length) : 0xFFFD;
        const std::string_view piece = valid ? text.substr(at, length) : std::string_view(kReplacement);
        at += length;
        if (ends_line(c)) {
            finish();
        } else if (c == ' ' || c == '\t') {
            if (line.characters > 0) ++blanks;
        } else if (!hidden(c)) {
            line.text.append(blanks, ' ');
            line.characters += blanks + 1;
            blanks = 0;
            line.text.append(piece);
        }
    }
    finish();
}

std::size_t prefix_bytes(const std::string& text, std::size_t characters) {
    std::size_t at = 0, seen = 0;
    for (; at < text.size(); ++at) {
        if ((static_cast<uint8_t>(text[at]) & 0xC0) != 0x80) {
            if (seen == characters) break;
            ++seen;
        }
    }
    return at;
}

}  // namespace

std::string dialog_site_words(std::string_view title, std::string_view message) {
    std::vector<Line> found;
    split_lines(title, found);
    split_lines(message, found);
    std::vector<Line> kept;
    std::size_t used = 0;
    bool cut = false;
    for (Line& line : found) {
        if (kept.size() == kSiteWordsMaxLines || used == kSiteWordsMaxCharacters) {
            cut = true;
            break;
        }
        if (used + line.characters > kSiteWordsMaxCharacters) {
            line.characters = kSiteWordsMaxCharacters - used;
            line.text.resize(prefix_bytes(line.text, line.characters));
            cut = true;
        }
        used += line.characters;
        kept.push_back(line);
        if (cut) break;
    }
    if (cut) {  // the ellipsis takes the place of the last character when there is no room left
        Line& last = kept.back();
        if (used == kSiteWordsMaxCharacters) last.text.resize(prefix_bytes(last.text, last.characters - 1));
        last.text += kEllipsis;
    }
    std::string words;
    for (const Line& line : kept) {
        if (!words.empty()) words += '\n';
        words += line.text;
    }
    return words;
}

DialogTexts dialog_texts(const PromptTexts& texts) {
    DialogTexts shown;
    if (!texts.site || !*texts.site) {
        shown.title = texts.title ? texts.title : "";
        shown.description = texts.prompt ? texts.prompt : "";
        shown.fieldLabel = "PIN code";
        shown.okLabel = "OK";
        shown.cancelLabel = "Cancel";
        return shown;
    }
    const std::string site = texts.site;
    const UseTexts use = use_texts(texts.use);
    shown.title = fill(tr(use.title), site);
    shown.description = fill(tr(use.firstLine), site);
    const std::string words = dialog_site_words(texts.title ? texts.title : "", texts.prompt ? texts.prompt : "");
    if (!words.empty())
        shown.description += "\n\n" + std::string(tr(kSiteWordsHeading)) + "\n" + fill(tr(kSiteWordsQuoted), words);
    shown.fieldLabel = tr(kFieldLabel);
    shown.okLabel = tr(kOkLabel);
    shown.cancelLabel = tr(kCancelLabel);
    return shown;
}
