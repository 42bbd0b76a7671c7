#include "json/json_writer.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tarno_vesk::json {
namespace {

using namespace std::string_literals;

std::string as_json(std::string_view text) {
    std::string out;
    append_string(out, text);
    return out;
}

TEST(AppendString, EscapesExactlyWhatJsonRequires) {
    struct Row {
        std::string text;
        std::string expected;
    };
    const std::vector<Row> rows = {
        {"", R"("")"},
        {"plain", R"("plain")"},
        {"\"", R"("\"")"},
        {"\\", R"("\\")"},
        {"\b\t\n\f\r", R"("\b\t\n\f\r")"},
        {"\0"s, R"("\u0000")"},
        {"\x01\x0B\x0E\x1A\x1F", R"("\u0001\u000b\u000e\u001a\u001f")"},
        {" /\x7F~", "\" /\x7F~\""},
        {"\xD8\xB3\xE2\x80\x8C\xF0\x9F\x98\x80\xC2\xA0",
         "\"\xD8\xB3\xE2\x80\x8C\xF0\x9F\x98\x80\xC2\xA0\""},
        {"a\"b\\c\nd", R"("a\"b\\c\nd")"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(as_json(row.text), row.expected) << testing::PrintToString(row.text);
    }
}

TEST(AppendString, AppendsToWhatIsThere) {
    std::string out = "[";
    append_string(out, "a");
    out += ',';
    append_string(out, "\n");
    EXPECT_EQ(out, R"(["a","\n")");
}

// The text escaped one byte at a time, each through the writer on its own.
std::string one_by_one(std::string_view text) {
    std::string out = "\"";
    for (const char c : text) {
        const std::string single = as_json(std::string(1, c));
        out += single.substr(1, single.size() - 2);
    }
    return out + "\"";
}

// The writer scans 16 bytes at a time: put each kind of byte at every offset of two blocks
// and at the very end.
TEST(AppendString, SpecialBytesAtEveryBlockOffset) {
    for (const std::string& special : {"\""s, "\\"s, "\x1F"s, "\0"s, "\x7F"s, "\xDB\xB1"s}) {
        for (std::size_t length = 1; length <= 40; ++length) {
            for (std::size_t at = 0; at < length; ++at) {
                std::string text(length, 'x');
                text.replace(at, special.size(), special);
                text.resize(length);
                EXPECT_EQ(as_json(text), one_by_one(text)) << testing::PrintToString(text);
            }
        }
    }
}

TEST(AppendString, LongTextWithEveryByte) {
    std::string text;
    for (int round = 0; round < 40; ++round) {
        for (int c = 0; c < 256; ++c)
            text += static_cast<char>((c * 7 + round) % 256);
        text += std::string(static_cast<std::size_t>(round), 'p');
    }
    std::string out = "[";
    append_string(out, text);
    EXPECT_EQ(out, "[" + one_by_one(text));
}

}  // namespace
}  // namespace tarno_vesk::json
