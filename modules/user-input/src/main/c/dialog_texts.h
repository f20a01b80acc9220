// What a PIN dialog shows: its title, the description above the field and its three labels.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "user_input.h"

struct DialogTexts {
    std::string title;
    std::string description;  // lines separated by LF
    std::string fieldLabel;
    std::string okLabel;
    std::string cancelLabel;
};

// The most of a site's own words that a dialog shows.
constexpr std::size_t kSiteWordsMaxLines = 3;
constexpr std::size_t kSiteWordsMaxCharacters = 200;

// Without a site: the caller's title and prompt as they are, and the labels "PIN code", "OK" and
// "Cancel". With one, every text is ours: the title and the description's first line name the site
// and what the PIN will do; the site's own words (dialog_site_words of title and prompt) follow,
// marked as the site's.
DialogTexts dialog_texts(const PromptTexts& texts);

// A site's title and message as a dialog shows them, valid UTF-8: control and invisible formatting
// characters removed (line breaks end a line, tabs become blanks), each line trimmed, empty lines
// dropped, at most kSiteWordsMaxLines lines of kSiteWordsMaxCharacters characters in all, with "…"
// where something was cut. Bytes that are not UTF-8 become U+FFFD.
std::string dialog_site_words(std::string_view title, std::string_view message);
