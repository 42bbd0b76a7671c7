#include "bridge/command.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tarno_vesk {
namespace {

using namespace std::string_literals;

std::string describe(const std::optional<DesktopCommand>& command) {
    if (!command) return "rejected";
    struct Describe {
        std::string operator()(const SaveBackup& c) const { return "SaveBackup{" + c.json + "}"; }
        std::string operator()(const OpenBackupsFolder&) const { return "OpenBackupsFolder{}"; }
        std::string operator()(const SetServerUrl& c) const {
            return "SetServerUrl{" + c.url + "}";
        }
    };
    return std::visit(Describe{}, *command);
}

std::string nested_arrays(int levels) {
    return std::string(static_cast<std::size_t>(levels), '[') +
           std::string(static_cast<std::size_t>(levels), ']');
}

struct Row {
    std::string name;
    std::string text;
    std::optional<DesktopCommand> expected;  // nothing: the text is rejected
};

std::ostream& operator<<(std::ostream& os, const Row& row) {
    return os << row.name;
}

const std::optional<DesktopCommand> REJECTED;
const DesktopCommand OPEN = OpenBackupsFolder{};
const std::string OPEN_TEXT = R"({"cmd":"open_backups_folder"})";

std::vector<Row> accepted_rows() {
    return {
        {"Open", OPEN_TEXT, OPEN},
        {"OpenIgnoresOtherMembers", R"({"cmd":"open_backups_folder","x":[1,{"y":null}]})", OPEN},
        {"TagAfterItsField", R"({"json":"{}","cmd":"save_backup"})", SaveBackup{"{}"}},
        {"SpacesAndNewlinesAround", " \n " + OPEN_TEXT + " \n ", OPEN},
        {"TabAndCrLfAround", "\t\r\n" + OPEN_TEXT + "\r\n\t", OPEN},
        {"SpaceInside", " { \"cmd\" :\t\"set_server_url\" ,\r\n\"url\" : \"u\" } ",
         SetServerUrl{"u"}},
        {"DuplicateIgnoredMembers", R"({"cmd":"save_backup","json":"a","n":1,"n":2})",
         SaveBackup{"a"}},
        {"UrlCommandIgnoresDuplicateJson",
         R"({"cmd":"set_server_url","json":1,"url":"u","json":"x"})", SetServerUrl{"u"}},
        {"BackupCommandIgnoresDuplicateUrl",
         R"({"cmd":"save_backup","url":null,"json":"j","url":"x"})", SaveBackup{"j"}},
        {"NestedMembersDoNotCount",
         R"({"x":{"cmd":"open_backups_folder","json":1},"cmd":"save_backup","json":"b","y":["json"]})",
         SaveBackup{"b"}},
        {"EscapedTag", R"({"cmd":"save\u005fbackup","json":"x"})", SaveBackup{"x"}},
        {"EscapedCmdName", R"({"\u0063md":"open_backups_folder"})", OPEN},
        {"EscapedFieldNameUpperHex", R"({"cmd":"save_backup","\u006Ason":"x"})", SaveBackup{"x"}},
        {"PositionalSave", R"(["save_backup","{}"])", SaveBackup{"{}"}},
        {"PositionalUrl", R"([ "set_server_url" , "https://a.example/" ])",
         SetServerUrl{"https://a.example/"}},
        {"PositionalOpen", R"(["open_backups_folder"])", OPEN},
        {"EmptyFieldValue", R"({"cmd":"save_backup","json":""})", SaveBackup{""}},
        {"SurrogatePair", R"({"cmd":"save_backup","json":"\ud83d\ude00"})",
         SaveBackup{"\xF0\x9F\x98\x80"}},
        {"SurrogatePairUpperHex", R"({"cmd":"save_backup","json":"\uD83D\uDE00"})",
         SaveBackup{"\xF0\x9F\x98\x80"}},
        {"Escapes", R"({"cmd":"save_backup","json":"\n\"\/\\\b\f\r\t\u00e9\u06f1\u20ac"})",
         SaveBackup{"\n\"/\\\b\f\r\t\xC3\xA9\xDB\xB1\xE2\x82\xAC"}},
        {"EscapedNul", R"({"cmd":"set_server_url","url":"a\u0000b"})", SetServerUrl{"a\0b"s}},
        {"RawDelete", "{\"cmd\":\"set_server_url\",\"url\":\"\x7F\"}", SetServerUrl{"\x7F"}},
        // U+0080, U+07FF, U+0800, U+D7FF, U+E000, U+FFFF, U+10000, U+10FFFF, Persian.
        {"RawUtf8AtRangeEdges",
         "{\"cmd\":\"save_backup\",\"json\":\"\xC2\x80\xDF\xBF\xE0\xA0\x80\xED\x9F\xBF\xEE\x80"
         "\x80\xEF\xBF\xBF\xF0\x90\x80\x80\xF4\x8F\xBF\xBF\xD8\xB3\xD9\x84\xD8\xA7\xD9\x85\"}",
         SaveBackup{"\xC2\x80\xDF\xBF\xE0\xA0\x80\xED\x9F\xBF\xEE\x80\x80\xEF\xBF\xBF\xF0\x90\x80"
                    "\x80\xF4\x8F\xBF\xBF\xD8\xB3\xD9\x84\xD8\xA7\xD9\x85"}},
        {"DepthLimitInIgnoredMember",  // the object is level 1, so 126 more make 127
         R"({"cmd":"open_backups_folder","x":)" + nested_arrays(126) + "}", OPEN},
        {"DepthLimitInIgnoredObjects",
         R"({"x":{"a":{"b":)" + nested_arrays(124) + R"(}},"cmd":"open_backups_folder"})", OPEN},
        {"NumbersInRange",
         R"({"cmd":"open_backups_folder","n":[1e-400,18446744073709551616,)"
         R"(1.7976931348623157e308,-1.7976931348623157e308,-0,0.5E+3,2e-0]})",
         OPEN},
        {"LiteralsInIgnoredMember", R"({"cmd":"open_backups_folder","x":[true,false,null]})", OPEN},
    };
}

std::vector<Row> rejected_rows() {
    const std::string big_integer(400, '9');
    return {
        {"Empty", "", REJECTED},
        {"Blank", " \t\r\n", REJECTED},
        {"TrailingCharacter", OPEN_TEXT + "x", REJECTED},
        {"TrailingBrace", OPEN_TEXT + "}", REJECTED},
        {"TrailingComma", OPEN_TEXT + ",", REJECTED},
        {"SecondValue", OPEN_TEXT + " " + OPEN_TEXT, REJECTED},
        {"TrailingNul", OPEN_TEXT + "\0"s, REJECTED},
        {"NoBreakSpaceBefore", "\xC2\xA0" + OPEN_TEXT, REJECTED},
        {"NoBreakSpaceAfter", OPEN_TEXT + "\xC2\xA0", REJECTED},
        {"FormFeedBefore", "\f" + OPEN_TEXT, REJECTED},
        {"VerticalTabAfter", OPEN_TEXT + "\v", REJECTED},
        {"ByteOrderMark", "\xEF\xBB\xBF" + OPEN_TEXT, REJECTED},
        {"NulBetweenTokens", "{\"cmd\":\"open_backups_folder\"\0}"s, REJECTED},
        {"TagCase", R"({"cmd":"Save_backup","json":"x"})", REJECTED},
        {"TagUpperCase", R"({"cmd":"OPEN_BACKUPS_FOLDER"})", REJECTED},
        {"TagWithTrailingNul", R"({"cmd":"open_backups_folder\u0000"})", REJECTED},
        {"TagWithSpace", R"({"cmd":" open_backups_folder"})", REJECTED},
        {"UnknownTag", R"({"cmd":"reboot"})", REJECTED},
        {"TagNumberZero", R"({"cmd":0,"json":"x"})", REJECTED},
        {"TagNull", R"({"cmd":null})", REJECTED},
        {"TagInArray", R"({"cmd":["open_backups_folder"]})", REJECTED},
        {"TagInObject", R"({"cmd":{"cmd":"open_backups_folder"}})", REJECTED},
        {"NoTag", R"({"json":"x"})", REJECTED},
        {"EmptyObject", "{}", REJECTED},
        {"NameIsNotCmd", R"({"cmd\u0000":"open_backups_folder"})", REJECTED},
        {"NameCase", R"({"Cmd":"open_backups_folder"})", REJECTED},
        {"DuplicateTag", R"({"cmd":"open_backups_folder","cmd":"open_backups_folder"})", REJECTED},
        {"BackupWithoutJson", R"({"cmd":"save_backup"})", REJECTED},
        {"BackupWithUrlOnly", R"({"cmd":"save_backup","url":"x"})", REJECTED},
        {"JsonNull", R"({"cmd":"save_backup","json":null})", REJECTED},
        {"JsonNumber", R"({"cmd":"save_backup","json":1})", REJECTED},
        {"JsonBoolean", R"({"cmd":"save_backup","json":false})", REJECTED},
        {"JsonObject", R"({"cmd":"save_backup","json":{}})", REJECTED},
        {"JsonArray", R"({"cmd":"save_backup","json":["x"]})", REJECTED},
        {"DuplicateJson", R"({"cmd":"save_backup","json":"a","json":"b"})", REJECTED},
        {"DuplicateJsonSecondNotString", R"({"json":"a","cmd":"save_backup","json":1})", REJECTED},
        {"UrlMissing", R"({"cmd":"set_server_url","json":"x"})", REJECTED},
        {"UrlNull", R"({"cmd":"set_server_url","url":null})", REJECTED},
        {"UrlNumber", R"({"cmd":"set_server_url","url":5})", REJECTED},
        {"DuplicateUrl", R"({"cmd":"set_server_url","url":"a","url":"a"})", REJECTED},
        {"PositionalEmpty", "[]", REJECTED},
        {"PositionalFieldMissing", R"(["save_backup"])", REJECTED},
        {"PositionalUrlMissing", R"(["set_server_url"])", REJECTED},
        {"PositionalExtraElement", R"(["save_backup","a","b"])", REJECTED},
        {"PositionalOpenWithField", R"(["open_backups_folder","x"])", REJECTED},
        {"PositionalFieldNumber", R"(["save_backup",1])", REJECTED},
        {"PositionalFieldNull", R"(["set_server_url",null])", REJECTED},
        {"PositionalFieldArray", R"(["save_backup",["x"]])", REJECTED},
        {"PositionalTagNumber", R"([1,"x"])", REJECTED},
        {"PositionalTagArray", R"([["save_backup"],"x"])", REJECTED},
        {"PositionalUnknownTag", R"(["reboot"])", REJECTED},
        {"BareTagString", R"("save_backup")", REJECTED},
        {"BareNull", "null", REJECTED},
        {"BareNumber", "1", REJECTED},
        {"BareTrue", "true", REJECTED},
        {"LoneHighSurrogate", R"({"cmd":"save_backup","json":"\ud800"})", REJECTED},
        {"LoneLowSurrogate", R"({"cmd":"save_backup","json":"\udc00"})", REJECTED},
        {"HighThenLetter", R"({"cmd":"save_backup","json":"\ud800\u0041"})", REJECTED},
        {"HighThenHigh", R"({"cmd":"save_backup","json":"\ud800\ud800"})", REJECTED},
        {"LowThenLow", R"({"cmd":"save_backup","json":"\udc00\udc00"})", REJECTED},
        {"PairReversed", R"({"cmd":"save_backup","json":"\ude00\ud83d"})", REJECTED},
        {"HighThenOtherEscape", R"({"cmd":"save_backup","json":"\ud800\n"})", REJECTED},
        {"HighThenRawLow", "{\"cmd\":\"save_backup\",\"json\":\"\\ud800\xED\xB0\x80\"}", REJECTED},
        {"LoneSurrogateInIgnoredMember", R"({"cmd":"open_backups_folder","x":"\udfff"})", REJECTED},
        {"BadHexDigit", R"({"cmd":"save_backup","json":"\u00g0"})", REJECTED},
        {"ShortUnicodeEscape", R"({"cmd":"save_backup","json":"\u00e"})", REJECTED},
        {"UnknownEscape", R"({"cmd":"save_backup","json":"\x41"})", REJECTED},
        {"UpperCaseEscapeLetter", R"({"cmd":"save_backup","json":"\U0041"})", REJECTED},
        {"EscapedApostrophe", R"({"cmd":"save_backup","json":"\'"})", REJECTED},
        {"RawTab", "{\"cmd\":\"save_backup\",\"json\":\"a\tb\"}", REJECTED},
        {"RawNul", "{\"cmd\":\"save_backup\",\"json\":\"a\0b\"}"s, REJECTED},
        {"RawUnitSeparator", "{\"cmd\":\"save_backup\",\"json\":\"\x1F\"}", REJECTED},
        {"RawControlInName", "{\"cmd\":\"open_backups_folder\",\"\n\":1}", REJECTED},
        {"DepthBeyondLimitInIgnoredMember",
         R"({"cmd":"open_backups_folder","x":)" + nested_arrays(127) + "}", REJECTED},
        {"DepthBeyondLimitInIgnoredObjects",
         R"({"x":{"a":{"b":)" + nested_arrays(125) + R"(}},"cmd":"open_backups_folder"})",
         REJECTED},
        {"NumberOverflow", R"({"cmd":"open_backups_folder","n":1e400})", REJECTED},
        {"NegativeNumberOverflow", R"({"cmd":"open_backups_folder","n":-1e400})", REJECTED},
        {"NumberRoundsToInfinity", R"({"cmd":"open_backups_folder","n":1.7976931348623159e308})",
         REJECTED},
        {"HugeInteger", R"({"cmd":"open_backups_folder","n":)" + big_integer + "}", REJECTED},
        {"LeadingZero", R"({"cmd":"open_backups_folder","n":01})", REJECTED},
        {"BareMinus", R"({"cmd":"open_backups_folder","n":-})", REJECTED},
        {"PointWithoutDigits", R"({"cmd":"open_backups_folder","n":1.})", REJECTED},
        {"LeadingPoint", R"({"cmd":"open_backups_folder","n":.5})", REJECTED},
        {"PlusSign", R"({"cmd":"open_backups_folder","n":+1})", REJECTED},
        {"EmptyExponent", R"({"cmd":"open_backups_folder","n":1e+})", REJECTED},
        {"NotANumber", R"({"cmd":"open_backups_folder","n":NaN})", REJECTED},
        {"TrailingCommaInObject", R"({"cmd":"open_backups_folder",})", REJECTED},
        {"TrailingCommaInArray", R"({"cmd":"open_backups_folder","x":[1,]})", REJECTED},
        {"TrailingCommaPositional", R"(["open_backups_folder",])", REJECTED},
        {"MissingColon", R"({"cmd" "open_backups_folder"})", REJECTED},
        {"MissingComma", R"({"cmd":"open_backups_folder" "x":1})", REJECTED},
        {"SingleQuotes", R"({'cmd':'open_backups_folder'})", REJECTED},
        {"UnquotedName", R"({cmd:"open_backups_folder"})", REJECTED},
        {"MisspelledLiteral", R"({"cmd":"open_backups_folder","x":tru})", REJECTED},
        {"CapitalLiteral", R"({"cmd":"open_backups_folder","x":True})", REJECTED},
        {"UnterminatedString", R"({"cmd":"open_backups_folder)", REJECTED},
        {"UnterminatedObject", R"({"cmd":"open_backups_folder")", REJECTED},
        {"MismatchedClose", R"({"cmd":"open_backups_folder"])", REJECTED},
    };
}

class AcceptedCommand : public testing::TestWithParam<Row> {};
class RejectedText : public testing::TestWithParam<Row> {};

TEST_P(AcceptedCommand, DecodesToTheCommand) {
    EXPECT_EQ(describe(decode_command(GetParam().text)), describe(GetParam().expected));
}
TEST_P(RejectedText, IsRejected) {
    EXPECT_EQ(describe(decode_command(GetParam().text)), "rejected");
}

auto row_name = [](const testing::TestParamInfo<Row>& info) { return info.param.name; };
INSTANTIATE_TEST_SUITE_P(Command, AcceptedCommand, testing::ValuesIn(accepted_rows()), row_name);
INSTANTIATE_TEST_SUITE_P(Command, RejectedText, testing::ValuesIn(rejected_rows()), row_name);

// Every malformed sequence is rejected wherever a string stands: field value, member name,
// ignored value, tag.
TEST(CommandUtf8, MalformedSequencesRejectedInEveryString) {
    const std::vector<std::string> malformed = {
        "\x80",              // lone continuation byte
        "\xC0\xAF",          // overlong '/'
        "\xC1\xBF",          // overlong
        "\xE0\x80\xAF",      // overlong three-byte form
        "\xF0\x80\x80\xAF",  // overlong four-byte form
        "\xED\xA0\x80",      // encoded surrogate U+D800
        "\xED\xBF\xBF",      // encoded surrogate U+DFFF
        "\xF4\x90\x80\x80",  // U+110000
        "\xF5\x80\x80\x80",  // lead byte past the range
        "\xFF",              //
        "\xC3",              // truncated before the quotation mark
        "\xE2\x82",          //
        "\xF0\x9F\x98",      //
        "\xC3"
        "A",            // continuation byte missing
        "\xE2\x82\\n",  // sequence cut by an escape
    };
    for (const std::string& bad : malformed) {
        SCOPED_TRACE(testing::PrintToString(bad));
        const std::vector<std::string> texts = {
            "{\"cmd\":\"save_backup\",\"json\":\"a" + bad + "\"}",
            "{\"cmd\":\"open_backups_folder\",\"" + bad + "\":1}",
            "{\"cmd\":\"open_backups_folder\",\"x\":[\"" + bad + "\"]}",
            "{\"cmd\":\"open_backups_folder" + bad + "\"}",
        };
        for (const std::string& text : texts) {
            EXPECT_EQ(describe(decode_command(text)), "rejected") << text;
        }
    }
}

// A test-side encoder, independent of json::append_string, that escapes what it may.
std::string escape_for_test(std::string_view text) {
    std::string out;
    constexpr char HEX[] = "0123456789ABCDEF";
    for (std::size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || (c == 0xDB && i % 3 == 0)) {
            // Controls, and some Persian letters, as \u escapes (Persian is U+06xx: DB/D9/D8).
            unsigned cp = c;
            if (c == 0xDB) cp = ((c & 0x1Fu) << 6) | (static_cast<unsigned char>(text[++i]) & 0x3F);
            out += "\\u";
            for (int shift = 12; shift >= 0; shift -= 4)
                out += HEX[(cp >> shift) & 0xF];
        } else if (c == 0xF0) {
            // Four-byte characters as surrogate pairs.
            uint32_t cp = (c & 0x07u) << 18;
            for (int k = 1; k <= 3; ++k)
                cp |= (static_cast<unsigned char>(text[i + k]) & 0x3Fu) << (18 - 6 * k);
            i += 3;
            const uint32_t v = cp - 0x10000;
            for (uint32_t unit : {0xD800 + (v >> 10), 0xDC00 + (v & 0x3FF)}) {
                out += "\\u";
                for (int shift = 12; shift >= 0; shift -= 4)
                    out += HEX[(unit >> shift) & 0xF];
            }
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

TEST(CommandLarge, EightMegabyteBackupDecodesExactly) {
    // Stringified records with Persian text, quotes, backslashes, controls and emoji.
    const std::string record =
        "{\"name\":\"\xD8\xB9\xD9\x84\xDB\x8C \xD8\xB1\xD8\xB6\xD8\xA7\xDB\x8C\xDB\x8C\","
        "\"note\":\"line\\nC:\\\\dir \xF0\x9F\x98\x80 \xE2\x80\x8C\t\x01\",\"n\":1234},";
    std::string content = "[";
    while (content.size() < (8u << 20))
        content += record;
    content.back() = ']';

    const std::string escaped = escape_for_test(content);
    const auto command = decode_command("{\"cmd\":\"save_backup\",\"json\":\"" + escaped + "\"}");
    ASSERT_TRUE(command.has_value());
    const auto* backup = std::get_if<SaveBackup>(&*command);
    ASSERT_NE(backup, nullptr);
    ASSERT_EQ(backup->json.size(), content.size());
    EXPECT_TRUE(backup->json == content);
    // Sized once from the escaped text, not grown by doubling.
    EXPECT_LE(backup->json.capacity(), escaped.size());
}

TEST(CommandEncode, CanonicalText) {
    EXPECT_EQ(encode_command(OpenBackupsFolder{}), R"({"cmd":"open_backups_folder"})");
    EXPECT_EQ(encode_command(SaveBackup{"{\"a\":\"\\\n\"}"}),
              R"({"cmd":"save_backup","json":"{\"a\":\"\\\n\"}"})");
    EXPECT_EQ(encode_command(SetServerUrl{"https://x.example/a?b=\xD8\xB3"}),
              "{\"cmd\":\"set_server_url\",\"url\":\"https://x.example/a?b=\xD8\xB3\"}");
}

TEST(CommandEncode, DecodingTheEncodingGivesTheCommandBack) {
    std::string controls;
    for (int c = 0; c < 0x20; ++c)
        controls += static_cast<char>(c);
    const std::vector<DesktopCommand> commands = {
        OpenBackupsFolder{},
        SaveBackup{""},
        SaveBackup{controls + "\"\\/\x7F"},
        SaveBackup{"[{\"\xD9\x86\xD8\xA7\xD9\x85\":\"\xF0\x9F\x98\x80\\u0041\"}]"},
        SetServerUrl{""},
        SetServerUrl{"http://127.0.0.1:8080/\xE2\x82\xAC?q=\"x\"&\x1F"},
    };
    for (const DesktopCommand& command : commands) {
        const std::string text = encode_command(command);
        EXPECT_EQ(describe(decode_command(text)), describe(command)) << text;
    }
}

}  // namespace
}  // namespace tarno_vesk
