// The texts a person reads, in the user's language: message catalogs of the domain "veldra",
// English wherever a catalog has no text. Texts are marked _("...") where they are used and
// N_("...") where they are only named (translated later with _()); po/ holds the catalogs.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

namespace Utils {

// Chooses the language and finds the catalogs. Linux: the C library's gettext, the language from
// LANGUAGE / LC_ALL / LC_MESSAGES / LANG (only LC_MESSAGES is taken from the environment: numbers
// and character classes stay those of the C locale), texts in UTF-8. Windows: LANGUAGE, else the
// user's UI language, the catalog read when the first text is asked for. The catalogs are looked
// up in "locale" beside the program first (a build tree, the Windows installation), then in the
// installed locale folder. Call it once at the start of main, before any thread; a program that
// never calls it speaks English.
void i18n_init();

// The translation of english (a text marked for translation), or english itself.
const char* translate(const char* english);

// text with each "{1}" ... "{9}" replaced by the argument of that number; other text is kept.
std::string i18n_format(std::string_view text, std::initializer_list<std::string_view> args);

}  // namespace Utils

#define _(text) ::Utils::translate(text)
#define N_(text) text
