#include "json/json_reader.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace tarno_vesk::json {
namespace {

using namespace std::string_literals;

// Writes every event down, and can refuse the one numbered `refuse_at` (counting from 1).
struct Recorder {
    std::string log;
    int events = 0;
    int refuse_at = 0;

    bool note(const std::string& event) {
        ++events;
        log += event + ' ';
        return events != refuse_at;
    }
    bool begin_object() { return note("{"); }
    bool end_object() { return note("}"); }
    bool begin_array() { return note("["); }
    bool end_array() { return note("]"); }
    bool key(std::string&& name) { return note("k:" + name); }
    bool string(std::string&& value) { return note("s:" + value); }
    bool number() { return note("n"); }
    bool boolean(bool value) { return note(value ? "true" : "false"); }
    bool null() { return note("null"); }
};

bool accepts(std::string_view text, int max_depth = DEFAULT_MAX_DEPTH) {
    Recorder recorder;
    return parse(text, recorder, max_depth);
}

TEST(JsonParse, ReportsEventsInDocumentOrder) {
    Recorder recorder;
    ASSERT_TRUE(
        parse(R"( {"a":[1,"x",{},[],true,false,null],"b\n":{"c":-2.5e3},"":""} )", recorder));
    EXPECT_EQ(recorder.log, "{ k:a [ n s:x { } [ ] true false null ] k:b\n { k:c n } k: s: } ");
}

TEST(JsonParse, HandlerRefusalEndsTheParse) {
    const std::string text = R"({"a":[1,"x",true,null,{}]})";
    Recorder all;
    ASSERT_TRUE(parse(text, all));
    ASSERT_EQ(all.events, 11);
    // Whichever event is refused, of whatever kind, the parse fails and nothing follows it.
    for (int refuse_at = 1; refuse_at <= all.events; ++refuse_at) {
        Recorder recorder;
        recorder.refuse_at = refuse_at;
        EXPECT_FALSE(parse(text, recorder)) << refuse_at;
        EXPECT_EQ(recorder.events, refuse_at);
    }
}

TEST(JsonParse, DepthLimitCountsTheOutermostLevel) {
    auto arrays = [](int levels) {
        return std::string(static_cast<std::size_t>(levels), '[') +
               std::string(static_cast<std::size_t>(levels), ']');
    };
    auto objects = [](int levels) {
        std::string text;
        for (int i = 0; i < levels; ++i)
            text += R"({"k":)";
        text += "0";
        return text + std::string(static_cast<std::size_t>(levels), '}');
    };
    EXPECT_TRUE(accepts(arrays(127)));
    EXPECT_FALSE(accepts(arrays(128)));
    EXPECT_TRUE(accepts(objects(127)));
    EXPECT_FALSE(accepts(objects(128)));
    EXPECT_TRUE(accepts("[[1],[2,[3]]]", 3));
    EXPECT_FALSE(accepts("[[1],[2,[[]]]]", 3));
    EXPECT_TRUE(accepts("[]", 1));
    EXPECT_FALSE(accepts("[[]]", 1));
    EXPECT_FALSE(accepts("{}", 0));
    EXPECT_TRUE(accepts("\"scalar\"", 0));
    // Far deeper than any stack could recurse: refused at the limit, not by crashing.
    EXPECT_FALSE(accepts(std::string(1'000'000, '[')));
    EXPECT_TRUE(accepts(arrays(100'000), 100'000));
}

TEST(JsonParse, TopLevelValues) {
    for (const char* text : {"0", "-0.0", "\"\"", "true", "false", "null", " [ ] ", "\n{ }\r"}) {
        EXPECT_TRUE(accepts(text)) << text;
    }
    for (const char* text : {"", " ", "tru", "nul", "falsey", "true false", "[] []", "]", "}",
                             "{\"a\"}", "{\"a\":}", "{,}", "[,]", "[1 2]", "\"a\" x"}) {
        EXPECT_FALSE(accepts(text)) << text;
    }
}

TEST(JsonNumber, RangeAndGrammar) {
    const std::string max_midpoint =
        "17976931348623158079372897140530341507993413271003782693617377898044496829276475094664"
        "90179775872070963302864166928879109465555478519404026306574886715058206819089020007083"
        "83676273854845817711531764475730270069855571366959622842914819860834936475292719074168"
        "444365510704342711559699508093042880177904174497792";
    std::string below_midpoint = max_midpoint;
    below_midpoint.back() = '1';
    const std::string zeros(1000, '0');

    const std::vector<std::string> in_range = {
        "0",
        "-0",
        "0.0",
        "7",
        "-7",
        "1.5",
        "1e5",
        "1E+5",
        "1e-5",
        "0e999999999999999999999",
        "-0.000e400",
        "1e-400",
        "-1e-400",
        "0.0001e-99999999999999999999",
        "1e308",
        "0.0001e312",
        "100e306",
        "1.7976931348623157e308",
        "1.7976931348623158e308",
        "-1.7976931348623158e308",
        "18446744073709551616",
        "123456789012345678901234567890",
        below_midpoint,
        "1e" + zeros + "308",
        "0." + zeros + "1e1308",
        "17976931348623157" + std::string(292, '0'),
    };
    const std::vector<std::string> out_of_range = {
        "1e400",
        "-1e400",
        "1e309",
        "9e308",
        "1.7976931348623159e308",
        "-1.7976931348623159e308",
        "0.0001e313",
        "1000e306",
        max_midpoint,
        std::string(400, '9'),
        "1e99999999999999999999999999",
        "1.8e" + zeros + "308",
        "0." + zeros + "1e1310",
        "17976931348623159" + std::string(292, '0'),
    };
    const std::vector<std::string> malformed = {
        "-",   "+1",  "01",   "-01", "00", "1.",       ".5",        "1.e5", "1e",    "1e+",
        "1E-", "--1", "1ee2", "0x1", "1f", "Infinity", "-Infinity", "NaN",  "1.5.2", "- 1",
    };
    for (const std::string& n : in_range)
        EXPECT_TRUE(accepts("[" + n + "]")) << n;
    for (const std::string& n : out_of_range)
        EXPECT_FALSE(accepts("[" + n + "]")) << n;
    for (const std::string& n : malformed)
        EXPECT_FALSE(accepts("[" + n + "]")) << n;
    // Numbers that end the text.
    EXPECT_TRUE(accepts("-12.5e+3"));
    EXPECT_FALSE(accepts("-12.5e+"));
}

// --- String decoding: the vector path against the portable one and a plain reference. ---

struct Decoded {
    std::string text;
    std::size_t end;  // just past the closing quotation mark
};

// The string body decoded the obvious way, code point by code point; nothing if it is not a
// valid string body up to a closing quotation mark.
std::optional<Decoded> reference_decode(const std::string& body) {
    std::string out;
    std::size_t i = 0;
    auto put = [&](uint32_t cp) {
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    };
    auto hex = [&](std::size_t at) -> std::optional<uint32_t> {
        if (at + 4 > body.size()) return std::nullopt;
        uint32_t v = 0;
        for (std::size_t k = at; k < at + 4; ++k) {
            const char c = body[k];
            const int d = c >= '0' && c <= '9'   ? c - '0'
                          : c >= 'a' && c <= 'f' ? c - 'a' + 10
                          : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                 : -1;
            if (d < 0) return std::nullopt;
            v = v * 16 + static_cast<uint32_t>(d);
        }
        return v;
    };
    while (i < body.size()) {
        const unsigned char c = static_cast<unsigned char>(body[i]);
        if (c == '"') return Decoded{out, i + 1};
        if (c < 0x20) return std::nullopt;
        if (c == '\\') {
            if (i + 1 >= body.size()) return std::nullopt;
            const char e = body[i + 1];
            const std::string simple = "\"\\/bfnrt";
            const std::string meaning = "\"\\/\b\f\n\r\t";
            if (const auto at = simple.find(e); at != std::string::npos) {
                out += meaning[at];
                i += 2;
                continue;
            }
            if (e != 'u') return std::nullopt;
            const auto unit = hex(i + 2);
            if (!unit) return std::nullopt;
            i += 6;
            uint32_t cp = *unit;
            if (cp >= 0xDC00 && cp <= 0xDFFF) return std::nullopt;
            if (cp >= 0xD800 && cp <= 0xDBFF) {
                if (body.compare(i, 2, "\\u") != 0) return std::nullopt;
                const auto low = hex(i + 2);
                if (!low || *low < 0xDC00 || *low > 0xDFFF) return std::nullopt;
                cp = 0x10000 + ((cp - 0xD800) << 10) + (*low - 0xDC00);
                i += 6;
            }
            put(cp);
            continue;
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
            ++i;
            continue;
        }
        const int length = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 0;
        if (length == 0 || c > 0xF7 || i + length > body.size()) return std::nullopt;
        uint32_t cp = c & (0x7F >> length);
        for (int k = 1; k < length; ++k) {
            const unsigned char b = static_cast<unsigned char>(body[i + k]);
            if ((b & 0xC0) != 0x80) return std::nullopt;
            cp = (cp << 6) | (b & 0x3F);
        }
        const uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < smallest[length] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            return std::nullopt;
        }
        out.append(body, i, static_cast<std::size_t>(length));
        i += static_cast<std::size_t>(length);
    }
    return std::nullopt;  // unterminated
}

// Runs both decoders over `body` (the text after an opening quotation mark), held in a buffer
// of exactly its size so that reading past it is caught under AddressSanitizer.
void expect_decoders_agree(const std::string& body) {
    const std::vector<char> buffer(body.begin(), body.end());
    const std::string_view text(buffer.data(), buffer.size());
    const std::optional<Decoded> expected = reference_decode(body);
    using Decoder = bool (*)(std::string_view, std::size_t&, std::string&);
    for (const Decoder decode :
         {Decoder{detail::read_string}, Decoder{detail::read_string_portable}}) {
        std::size_t pos = 0;
        std::string out = "left over";
        const bool ok = decode(text, pos, out);
        ASSERT_EQ(ok, expected.has_value()) << testing::PrintToString(body);
        if (ok) {
            ASSERT_EQ(out, expected->text) << testing::PrintToString(body);
            ASSERT_EQ(pos, expected->end);
        }
    }
}

// Fragments that matter to a 16-byte scanner: escapes, multi-byte characters and every kind
// of fault, each to be placed at every offset across two blocks.
const std::vector<std::string>& fragments() {
    static const std::vector<std::string> all = {
        "\\\"",
        "\\\\",
        "\\/",
        "\\n",
        "\\u0000",
        "\\u06f1",
        "\\u06F1",
        "\\ud83d\\ude00",
        "\xD8\xB3",
        "\xE2\x80\x8C",
        "\xE0\xA0\x80",
        "\xED\x9F\xBF",
        "\xEF\xBF\xBF",
        "\xF0\x9F\x98\x80",
        "\xF0\x90\x80\x80",
        "\xF4\x8F\xBF\xBF",
        "\x7F",
        // faults
        "\x01",
        "\x1F",
        "\0"s,
        "\x80",
        "\xC0\xAF",
        "\xC1\xBF",
        "\xE0\x9F\xBF",
        "\xED\xA0\x80",
        "\xF0\x8F\xBF\xBF",
        "\xF4\x90\x80\x80",
        "\xF5\x80\x80\x80",
        "\xFF",
        "\xC3",
        "\xE2\x82",
        "\xF0\x9F\x98",
        "\xD8\xB3\x80",
        "\\ud800",
        "\\udc00",
        "\\udc00\\udc00",
        "\\ude00\\ud83d",
        "\\ud800\\u0041",
        "\\x",
        "\\u12",
        "\\u12g4",
        "\\",
    };
    return all;
}

TEST(JsonString, FragmentAtEveryBlockOffset) {
    for (const std::string& fragment : fragments()) {
        for (std::size_t at = 0; at < 34; ++at) {
            for (const std::string& filler : {"a"s, "\xD9\x84"s}) {
                std::string body;
                while (body.size() < at)
                    body += filler;
                body.resize(at, 'a');  // a two-byte filler cut in half is a fault of its own
                body += fragment;
                // Then end at once, or after more plain text, or right after a block edge.
                for (const std::size_t after : {0, 1, 5, 17, 40}) {
                    expect_decoders_agree(body + std::string(after, 'b') + "\"");
                    expect_decoders_agree(body + std::string(after, 'b') + "\"tail");
                    // What follows the string is not the string's fault.
                    expect_decoders_agree(body + std::string(after, 'b') + "\"\xC3(");
                }
                expect_decoders_agree(body);  // unterminated
            }
        }
    }
}

TEST(JsonString, RandomMixturesAgree) {
    std::mt19937 random(20240601);
    const auto& parts = fragments();
    const std::vector<std::string> plain = {"a", "hello world ", "\xD9\x86\xD8\xA7\xD9\x85 ",
                                            "0123456789abcdef0123"};
    for (int round = 0; round < 20000; ++round) {
        std::string body;
        const int pieces = static_cast<int>(random() % 12);
        for (int k = 0; k < pieces; ++k) {
            const bool fault_allowed = random() % 8 == 0;
            const std::string& part =
                random() % 2 ? plain[random() % plain.size()] : parts[random() % parts.size()];
            // Keep most strings valid so long decodes are compared, not just early refusals.
            if (!fault_allowed && !reference_decode("x" + part + "\"").has_value()) continue;
            body += part;
        }
        expect_decoders_agree(body + "\"");
    }
}

TEST(JsonString, LongStringsOfEachShape) {
    const std::vector<std::string> units = {
        "a", "\\\"x", "\xD8\xB3\xD9\x84", "\\u06f1", "\xF0\x9F\x98\x80", "\xE2\x80\x8C "};
    for (const std::string& unit : units) {
        for (const std::size_t bytes : {4095, 4096, 4097, 100'000}) {
            std::string body;
            while (body.size() < bytes)
                body += unit;
            expect_decoders_agree(body + "\"");
            expect_decoders_agree(body + "\\\"" + body + "\"");
            expect_decoders_agree(body + "\x01" + body + "\"");
            expect_decoders_agree(body);
        }
    }
}

TEST(JsonString, KeysAndValuesKeepTheirBytes) {
    Recorder recorder;
    ASSERT_TRUE(parse("{\"\\u0000k\\u00E9\":\"v\\u0000\"}"s, recorder));
    EXPECT_EQ(recorder.log, "{ k:\0k\xC3\xA9 s:v\0 } "s);
}

}  // namespace
}  // namespace tarno_vesk::json
