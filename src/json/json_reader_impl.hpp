// The body of json::parse; included by json_reader.hpp only.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>

namespace tarno_vesk::json::detail {

// These live in json_reader.cpp so the hot loops are compiled once, not per handler.

// Decodes the string whose opening quotation mark is at text[pos - 1] into `out` (replacing
// its content) and moves `pos` past the closing one. False when the string is malformed,
// unterminated or not valid UTF-8.
bool read_string(std::string_view text, std::size_t& pos, std::string& out);

// The same, one byte at a time: what non-x86 builds use, and what the vector path is
// checked against.
bool read_string_portable(std::string_view text, std::size_t& pos, std::string& out);

// Checks the number at text[pos] and moves `pos` past it. False when it breaks the grammar
// or its value lies beyond the range of a double.
bool read_number(std::string_view text, std::size_t& pos);

inline bool is_space(char c) {
    return c == ' ' || c == '\n' || c == '\r' || c == '\t';
}

inline std::size_t skip_space(std::string_view text, std::size_t pos) {
    while (pos < text.size() && is_space(text[pos]))
        ++pos;
    return pos;
}

inline bool read_literal(std::string_view text, std::size_t& pos, std::string_view word) {
    if (text.substr(pos, word.size()) != word) return false;
    pos += word.size();
    return true;
}

// Reads `"name" :` with the white space around it and hands the name over.
template <class Handler>
bool read_key(std::string_view text, std::size_t& pos, Handler& handler) {
    if (pos >= text.size() || text[pos] != '"') return false;
    ++pos;
    std::string name;
    if (!read_string(text, pos, name)) return false;
    if (!handler.key(std::move(name))) return false;
    pos = skip_space(text, pos);
    if (pos >= text.size() || text[pos] != ':') return false;
    pos = skip_space(text, pos + 1);
    return true;
}

}  // namespace tarno_vesk::json::detail

namespace tarno_vesk::json {

// Iterative, so deep input costs a byte of `open` per level rather than a stack frame.
template <class Handler>
bool parse(std::string_view text, Handler& handler, int max_depth) {
    using namespace detail;
    constexpr char OBJECT = '{';
    std::string open;  // the kind of each container still open, innermost last
    std::size_t pos = skip_space(text, 0);

    for (;;) {
        // A value starts at `pos`.
        if (pos >= text.size()) return false;
        const char c = text[pos];
        if (c == '{' || c == '[') {
            if (static_cast<long long>(open.size()) >= max_depth) return false;
            const bool object = c == '{';
            if (!(object ? handler.begin_object() : handler.begin_array())) return false;
            pos = skip_space(text, pos + 1);
            const char close = object ? '}' : ']';
            if (pos < text.size() && text[pos] == close) {
                if (!(object ? handler.end_object() : handler.end_array())) return false;
                ++pos;
            } else {
                open.push_back(c);
                if (object && !read_key(text, pos, handler)) return false;
                continue;
            }
        } else if (c == '"') {
            ++pos;
            std::string value;
            if (!read_string(text, pos, value) || !handler.string(std::move(value))) return false;
        } else if (c == '-' || (c >= '0' && c <= '9')) {
            if (!read_number(text, pos) || !handler.number()) return false;
        } else if (c == 't') {
            if (!read_literal(text, pos, "true") || !handler.boolean(true)) return false;
        } else if (c == 'f') {
            if (!read_literal(text, pos, "false") || !handler.boolean(false)) return false;
        } else if (c == 'n') {
            if (!read_literal(text, pos, "null") || !handler.null()) return false;
        } else {
            return false;
        }

        // A value has ended: close containers until one goes on with another value.
        for (;;) {
            pos = skip_space(text, pos);
            if (open.empty()) return pos == text.size();
            if (pos >= text.size()) return false;
            const bool object = open.back() == OBJECT;
            const char sep = text[pos];
            if (sep == ',') {
                pos = skip_space(text, pos + 1);
                if (object && !read_key(text, pos, handler)) return false;
                break;
            }
            if (sep != (object ? '}' : ']')) return false;
            if (!(object ? handler.end_object() : handler.end_array())) return false;
            open.pop_back();
            ++pos;
        }
    }
}

}  // namespace tarno_vesk::json
