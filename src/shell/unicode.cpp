#include "shell/unicode.hpp"

#include <cstdint>

namespace tarno_vesk {
namespace {

// Decodes the well-formed UTF-8 sequence at text[i], or returns false.
bool decode_at(std::string_view text, size_t i, char32_t& c, size_t& length) {
    auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    unsigned char b0 = byte(i);
    if (b0 < 0x80) {
        c = b0;
        length = 1;
        return true;
    }
    size_t n;
    char32_t min;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        n = 2, c = b0 & 0x1F, min = 0x80;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        n = 3, c = b0 & 0x0F, min = 0x800;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        n = 4, c = b0 & 0x07, min = 0x10000;
    } else {
        return false;
    }
    if (i + n > text.size()) return false;
    for (size_t k = 1; k < n; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) return false;
        c = (c << 6) | (byte(i + k) & 0x3F);
    }
    if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
    length = n;
    return true;
}

// The start of the last character of text[0, end), for trimming from the right.
size_t last_char_start(std::string_view text, size_t end) {
    size_t i = end - 1;
    while (i > 0 && end - i < 4 && (static_cast<unsigned char>(text[i]) & 0xC0) == 0x80)
        --i;
    return i;
}

}  // namespace

bool is_white_space(char32_t c) {
    switch (c) {
        case 0x09:
        case 0x0A:
        case 0x0B:
        case 0x0C:
        case 0x0D:
        case 0x20:
        case 0x85:
        case 0xA0:
        case 0x1680:
        case 0x2028:
        case 0x2029:
        case 0x202F:
        case 0x205F:
        case 0x3000:
            return true;
        default:
            return c >= 0x2000 && c <= 0x200A;
    }
}

std::string_view trim_white_space(std::string_view text) {
    char32_t c;
    size_t length;
    size_t begin = 0;
    while (begin < text.size() && decode_at(text, begin, c, length) && is_white_space(c)) {
        begin += length;
    }
    size_t end = text.size();
    while (end > begin) {
        size_t start = last_char_start(text, end);
        if (!decode_at(text, start, c, length) || start + length != end || !is_white_space(c)) {
            break;
        }
        end = start;
    }
    return text.substr(begin, end - begin);
}

bool is_blank(std::string_view text) {
    return trim_white_space(text).empty();
}

bool is_valid_utf8(std::string_view text) {
    char32_t c;
    size_t length;
    for (size_t i = 0; i < text.size(); i += length) {
        if (!decode_at(text, i, c, length)) return false;
    }
    return true;
}

std::string to_valid_utf8(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    char32_t c;
    size_t length;
    for (size_t i = 0; i < text.size(); i += length) {
        if (decode_at(text, i, c, length)) {
            out.append(text.substr(i, length));
        } else {
            out += "\xEF\xBF\xBD";
            length = 1;
        }
    }
    return out;
}

}  // namespace tarno_vesk
