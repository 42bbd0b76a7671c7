#include "shell/unicode.hpp"

#include <gtest/gtest.h>

namespace tarno_vesk {
namespace {

TEST(WhiteSpace, TheWholeUnicodeListCountsAndNothingElse) {
    const char32_t white[] = {0x09,   0x0A,   0x0B,   0x0C,   0x0D,   0x20,   0x85,   0xA0,  0x1680,
                              0x2000, 0x2005, 0x200A, 0x2028, 0x2029, 0x202F, 0x205F, 0x3000};
    for (char32_t c : white)
        EXPECT_TRUE(is_white_space(c)) << std::hex << uint32_t(c);
    // Neighbours and look-alikes that are not White_Space: zero-width space and joiners,
    // the BOM, Mongolian vowel separator, information separators.
    const char32_t not_white[] = {0x08,   0x0E,   0x1C,   0x1F,   0x21,   0x84,
                                  0x86,   0x180E, 0x1FFF, 0x200B, 0x200C, 0x200D,
                                  0x2060, 0xFEFF, 0x202E, 0x3001, 0x0};
    for (char32_t c : not_white)
        EXPECT_FALSE(is_white_space(c)) << std::hex << uint32_t(c);
}

TEST(WhiteSpace, TrimAndBlank) {
    struct Case {
        std::string text, trimmed;
    } cases[] = {
        {"", ""},
        {"   ", ""},
        {" \t\r\n\v\f", ""},
        {"\u00A0\u3000\u2028", ""},
        {"\u00A0 https://a.example \u3000", "https://a.example"},
        {"\u200Bx\u200B", "\u200Bx\u200B"},  // zero-width space is not white space
        {"a b", "a b"},
        {"\xC2 a", "\xC2 a"},  // invalid UTF-8 is never taken for white space
        {"a \xE2\x80", "a \xE2\x80"},
        {" \u06F1\u06F2 ", "\u06F1\u06F2"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(trim_white_space(c.text), c.trimmed) << c.text;
        EXPECT_EQ(is_blank(c.text), c.trimmed.empty()) << c.text;
    }
}

TEST(Utf8, ValidityAndRepair) {
    struct Case {
        std::string text;
        bool valid;
        std::string repaired;
    } cases[] = {
        {"plain", true, "plain"},
        {"\u0641\u0627\U0001F600", true, "\u0641\u0627\U0001F600"},
        {"\x80", false, "\uFFFD"},
        {"a\xC0\xAF", false, "a\uFFFD\uFFFD"},                    // overlong
        {"\xED\xA0\x80", false, "\uFFFD\uFFFD\uFFFD"},            // encoded surrogate
        {"\xF4\x90\x80\x80", false, "\uFFFD\uFFFD\uFFFD\uFFFD"},  // above U+10FFFF
        {"\xE2\x82", false, "\uFFFD\uFFFD"},                      // truncated
        {std::string("a\0b", 3), true, std::string("a\0b", 3)},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(is_valid_utf8(c.text), c.valid) << c.text;
        EXPECT_EQ(to_valid_utf8(c.text), c.repaired) << c.text;
    }
}

}  // namespace
}  // namespace tarno_vesk
