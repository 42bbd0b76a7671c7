#include "settings/config.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "support/temp_dir.hpp"

namespace tarno_vesk {
namespace {

using test::exists;
using test::read_file;
using test::TempDir;
using test::write_file;

const DesktopConfig DEFAULTS{};

TEST(ParseConfig, AcceptedFiles) {
    struct Case {
        std::string text;
        DesktopConfig expected;
    } cases[] = {
        {R"({"app_url":"https://a.example","backups":["/d/backups/b1.json","/d/b2"]})",
         {"https://a.example", {"/d/backups/b1.json", "/d/b2"}}},
        {R"({"backups":[]})", DEFAULTS},
        {R"({"app_url":null,"backups":[]})", DEFAULTS},
        {R"({"app_url":"","backups":[]})", {"", {}}},
        {R"({"backups":[],"app_url":"x"})", {"x", {}}},
        {"{\"app_url\": \"x\", \"backups\": []}\n  \r\n\t", {"x", {}}},
        {R"({"b\u0061ckups":[],"app_\u0075rl":"\u0641"})", {"\u0641", {}}},
        {R"({"extra":{"deep":[1,2,{"backups":5}]},"backups":[],"extra":true})", DEFAULTS},
        {R"({"Backups":5,"APP_URL":7,"backups":[]})", DEFAULTS},  // other case: other keys
        {R"(["x",[]])", {"x", {}}},
        {R"([null,["a","b"]])", {std::nullopt, {"a", "b"}}},
        {R"({"app_url":"a\"b\\c\n","backups":["C:\\Users\\u"]})", {"a\"b\\c\n", {"C:\\Users\\u"}}},
    };
    for (const auto& c : cases) {
        auto parsed = parse_config(c.text);
        ASSERT_TRUE(parsed) << c.text;
        EXPECT_EQ(*parsed, c.expected) << c.text;
    }
}

TEST(ParseConfig, RejectedFiles) {
    const char* cases[] = {
        "",
        "   \n",
        "\xEF\xBB\xBF{\"backups\":[]}",           // byte-order mark
        "{\"app_url\":\"\xC3\",\"backups\":[]}",  // invalid UTF-8
        R"({"app_url":"x"})",                     // backups missing
        R"({})",
        R"({"backups":[],"backups":[]})",
        R"({"app_url":null,"app_url":"x","backups":[]})",
        R"({"app_url":"x","backups":[],"app_url":"x"})",
        R"({"app_url":5,"backups":[]})",
        R"({"app_url":["x"],"backups":[]})",
        R"({"app_url":{},"backups":[]})",
        R"({"app_url":true,"backups":[]})",
        R"({"backups":null})",
        R"({"backups":"a"})",
        R"({"backups":{}})",
        R"({"backups":[null]})",
        R"({"backups":["a",1]})",
        R"({"backups":[["a"]]})",
        R"({"backups":[{}]})",
        R"({"backups":[]}x)",
        R"({"backups":[]}{})",
        R"({"backups":[],})",
        "{\"backups\":[]}\f",
        R"([])",
        R"(["x"])",
        R"(["x",[],[]])",
        R"([5,[]])",
        R"(["x",null])",
        R"(["x",[1]])",
        R"("x")",
        R"(null)",
        R"({"backups":[]})"
        "\xC2\xA0",
    };
    for (const char* text : cases)
        EXPECT_FALSE(parse_config(text)) << text;
}

TEST(FormatConfig, ByteExactLayout) {
    EXPECT_EQ(format_config(DEFAULTS), "{\n  \"app_url\": null,\n  \"backups\": []\n}");
    EXPECT_EQ(format_config({std::nullopt,
                             {"C:\\Users\\u\\AppData\\Local\\quillmere\\TarnoVesk\\data\\backups\\"
                              "tarno-vesk-backup-20250101-093000.json"}}),
              "{\n"
              "  \"app_url\": null,\n"
              "  \"backups\": [\n"
              "    \"C:\\\\Users\\\\u\\\\AppData\\\\Local\\\\quillmere\\\\TarnoVesk\\\\data\\\\"
              "backups\\\\tarno-vesk-backup-20250101-093000.json\"\n"
              "  ]\n"
              "}");
    EXPECT_EQ(format_config({"https://\u0641.example/\x01\x1f\t\"/", {"a", "b"}}),
              "{\n"
              "  \"app_url\": \"https://\u0641.example/\\u0001\\u001f\\t\\\"/\",\n"
              "  \"backups\": [\n"
              "    \"a\",\n"
              "    \"b\"\n"
              "  ]\n"
              "}");
}

TEST(FormatConfig, WhatIsWrittenLoadsBackUnchanged) {
    DesktopConfig config{"h\u00e9\b\f\r\x7f", {"", "/d/\u06F1.json", std::string("n\0l", 3)}};
    EXPECT_EQ(parse_config(format_config(config)), config);
}

TEST(LoadConfig, ProblemsGiveTheDefaultsAndTouchNothing) {
    TempDir dir;
    const std::string file = dir.join("config.json");
    EXPECT_EQ(load_config(dir.path()), DEFAULTS);
    EXPECT_FALSE(exists(file));  // loading never creates the file

    write_file(file, "{\"app_url\":\"x\",\"backups\":[1]}");
    EXPECT_EQ(load_config(dir.path()), DEFAULTS);
    EXPECT_EQ(read_file(file), "{\"app_url\":\"x\",\"backups\":[1]}");

    write_file(file, "{\"app_url\":\"x\",\"backups\":[\"b\"]}");
    EXPECT_EQ(load_config(dir.path()), (DesktopConfig{"x", {"b"}}));
    EXPECT_EQ(load_config(dir.join("missing")), DEFAULTS);
}

TEST(SaveConfig, ReplacesTheFileWhole) {
    TempDir dir;
    write_file(dir.join("config.json"), "{corrupt");
    DesktopConfig config = load_config(dir.path());
    config.app_url = "https://shop.example";
    save_config(dir.path(), config);
    EXPECT_EQ(read_file(dir.join("config.json")),
              "{\n  \"app_url\": \"https://shop.example\",\n  \"backups\": []\n}");
    EXPECT_EQ(test::list_dir(dir.path()), std::vector<std::string>{"config.json"});
}

TEST(SaveConfig, FailuresLeaveTheOldFile) {
    TempDir dir;
    save_config(dir.join("missing"), DEFAULTS);  // the data directory is never created here
    EXPECT_FALSE(exists(dir.join("missing")));

    const std::string good = "{\n  \"app_url\": \"http://old\",\n  \"backups\": []\n}";
    write_file(dir.join("config.json"), good);
    ASSERT_EQ(::mkdir(dir.join("config.json.tmp").c_str(), 0700), 0);  // cannot be written
    save_config(dir.path(), {"http://new", {}});
    EXPECT_EQ(read_file(dir.join("config.json")), good);
}

}  // namespace
}  // namespace tarno_vesk
