// Small UTF-8 helpers shared by the start-up rules and the page commands.
#pragma once

#include <string>
#include <string_view>

namespace tarno_vesk {

// True for the characters with the Unicode White_Space property.
bool is_white_space(char32_t c);

// `text` without White_Space characters at either end. Invalid UTF-8 is never trimmed.
std::string_view trim_white_space(std::string_view text);

// Nothing left once White_Space is removed from both ends.
bool is_blank(std::string_view text);

// `text` with each byte that is not part of well-formed UTF-8 replaced by U+FFFD.
std::string to_valid_utf8(std::string_view text);

// Well-formed UTF-8 (no overlong forms, no surrogates, nothing above U+10FFFF).
bool is_valid_utf8(std::string_view text);

}  // namespace tarno_vesk
