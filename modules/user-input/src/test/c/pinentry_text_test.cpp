// The texts sent to pinentry and the decoding of its answers.
#include <gtest/gtest.h>

#include <string>

#include "pinentry_dialog.h"
#include "pinentry_text.h"
#include "utf8.h"

namespace {

std::string decoded(const std::string& data, std::size_t limit = 1000) {
    Utils::SecretBytes out;
    pinentry_unescape_append(data, out, limit);
    return std::string(out.begin(), out.end());
}

TEST(PinentryText, EscapesWhatTheProtocolWouldReadAsSyntax) {
    EXPECT_EQ(pinentry_command("SETDESC", "100% done\r\nnext"), "SETDESC 100%25 done%0D%0Anext");
    EXPECT_EQ(pinentry_command("SETDESC",
                               "a\tb\x7f"
                               "c"),
              "SETDESC a%09b%7Fc");
    // The server skips the blanks in front of an argument; inner and trailing blanks are text.
    EXPECT_EQ(pinentry_command("SETTITLE", "  two  words "), "SETTITLE %20%20two  words ");
    EXPECT_EQ(pinentry_command("SETDESC", "<b>x</b> & a+b _u_"), "SETDESC <b>x</b> & a+b _u_");
    EXPECT_EQ(pinentry_command("SETTITLE", ""), "SETTITLE");
    EXPECT_EQ(pinentry_command("SETDESC", "K\xc3\xa4rtchen \xe2\x82\xac"), "SETDESC K\xc3\xa4rtchen \xe2\x82\xac");
}

TEST(PinentryText, LongTextsAreCutOnACharacterBoundaryWithinTheLineLimit) {
    const std::string percents = pinentry_command("SETTITLE", std::string(2000, '%'));
    EXPECT_LE(percents.size(), kPinentryLineLimit);
    EXPECT_GT(percents.size(), kPinentryLineLimit - 3);
    EXPECT_EQ((percents.size() - 9) % 3, 0u) << "an escape was split";
    EXPECT_EQ(percents.substr(percents.size() - 3), "%25");

    for (const std::string character : {"\xc3\xa9", "\xe2\x82\xac", "\xf0\x9f\x94\x91"}) {
        std::string text;
        while (text.size() < 3000) text += character;
        const std::string line = pinentry_command("SETDESC", text);
        EXPECT_LE(line.size(), kPinentryLineLimit);
        EXPECT_GT(line.size(), kPinentryLineLimit - character.size());
        EXPECT_TRUE(Utils::is_utf8(line)) << "cut inside a character of " << character.size() << " bytes";
    }
}

TEST(PinentryText, InvalidUtf8IsWidenedByteByByte) {
    EXPECT_EQ(pinentry_widen_bytes("K\xc3\xa4rtchen"), "K\xc3\xa4rtchen");
    // 0xE9 as a signed byte is -23, i.e. the unit FFE9; 0xFF gives FFFF.
    EXPECT_EQ(pinentry_widen_bytes("Caf\xe9 \xff"), "Caf\xef\xbf\xa9 \xef\xbf\xbf");
    // One bad byte makes the whole text bytes: the valid "ä" (C3 A4) becomes two characters too.
    EXPECT_EQ(pinentry_widen_bytes("\xc3\xa4\x80"), "\xef\xbf\x83\xef\xbe\xa4\xef\xbe\x80");
    for (const char* invalid : {"\xc0\x80", "\xed\xa0\x80", "\xf4\x90\x80\x80", "\xe2\x82", "\xf8\x88\x80\x80\x80"}) {
        EXPECT_FALSE(Utils::is_utf8(invalid)) << invalid;
        const std::string widened = pinentry_widen_bytes(invalid);
        EXPECT_TRUE(Utils::is_utf8(widened));
        EXPECT_EQ(widened.size(), std::string(invalid).size() * 3);
    }
    EXPECT_TRUE(Utils::is_utf8("\xf4\x8f\xbf\xbf"));  // U+10FFFF, the last one
}

TEST(PinentryText, UnderscoresAreDoubledForMnemonicLabels) {
    EXPECT_EQ(pinentry_double_underscores("_PIN__1_"), "__PIN____1__");
    EXPECT_EQ(pinentry_double_underscores("PIN code"), "PIN code");
}

TEST(PinentryText, DataLinesAreUnescapedWithinTheLimit) {
    EXPECT_EQ(decoded("12%254"), "12%4");
    EXPECT_EQ(decoded("a%0Ab%0d"), "a\nb\r");
    EXPECT_EQ(decoded("50%zz%4"), "50%zz%4");  // not escapes: kept as they are
    EXPECT_EQ(decoded("a+b c"), "a+b c");
    EXPECT_EQ(decoded("123456789", 4), "1234");
}

TEST(PinentryText, PrefixCountsCharactersNotBytes) {
    const std::string digits(25, '7');
    EXPECT_EQ(pinentry_prefix_bytes(digits.data(), digits.size(), 19), 19u);
    std::string umlauts;
    for (int i = 0; i < 20; ++i) umlauts += "\xc3\xa4";
    EXPECT_EQ(pinentry_prefix_bytes(umlauts.data(), umlauts.size(), 19), 38u);
    EXPECT_EQ(pinentry_prefix_bytes("12", 2, 19), 2u);
    EXPECT_EQ(pinentry_prefix_bytes("", 0, 19), 0u);
}

TEST(PinentryText, TerminalFlavoursAreRecognised) {
    for (const char* flavor : {"curses", "tty", "gtk2:curses", "gnome3:curses", "qt:tty"}) {
        EXPECT_TRUE(pinentry_flavor_needs_terminal(flavor)) << flavor;
    }
    for (const char* flavor : {"gtk2", "gnome3", "qt", "qt5", "fltk", ""}) {
        EXPECT_FALSE(pinentry_flavor_needs_terminal(flavor)) << flavor;
    }
}

}  // namespace
