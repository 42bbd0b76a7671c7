#include "bridge/command.hpp"

#include <utility>

#include "json/json_reader.hpp"
#include "json/json_writer.hpp"

namespace tarno_vesk {

namespace {

enum class Tag { none, save_backup, open_backups_folder, set_server_url };

Tag tag_named(std::string_view name) {
    if (name == "save_backup") return Tag::save_backup;
    if (name == "open_backups_folder") return Tag::open_backups_folder;
    if (name == "set_server_url") return Tag::set_server_url;
    return Tag::none;
}

// A member the tag may ask for: whether it came once or more, and its first value if that
// is a string (moved, as it may be megabytes).
struct Field {
    int count = 0;  // 0, 1, or 2 for any more
    bool is_string = false;
    std::string value;

    void take(std::string* text) {
        if (count++ > 0) {
            count = 2;
            return;
        }
        is_string = text != nullptr;
        if (text != nullptr) value = std::move(*text);
    }
    bool single_string() const { return count == 1 && is_string; }
};

// Collects what decode_command needs while the reader walks the text. Values nested below
// the top-level container matter only for the limits the reader enforces.
struct CommandReader {
    enum class Form { none, object, array };

    Form form = Form::none;
    int depth = 0;
    Tag tag = Tag::none;
    std::string member;  // name of the top-level member whose value comes next
    int elements = 0;    // top-level array elements so far
    Field json;
    Field url;

    // A value directly inside the top-level container; `text` is null unless a string.
    bool top_value(std::string* text) {
        if (form == Form::array) {
            const int index = elements++;
            if (text == nullptr) return false;
            if (index == 0) {
                tag = tag_named(*text);
                return tag != Tag::none;
            }
            // Each command has at most one field; the count is checked once it ends.
            if (index > 1 || tag == Tag::open_backups_folder) return false;
            (tag == Tag::save_backup ? json : url).take(text);
            return true;
        }
        if (member == "cmd") {
            if (tag != Tag::none || text == nullptr) return false;
            tag = tag_named(*text);
            return tag != Tag::none;
        }
        if (member == "json") json.take(text);
        if (member == "url") url.take(text);
        return true;
    }

    bool begin(Form kind) {
        if (depth == 0) {
            form = kind;
        } else if (depth == 1 && !top_value(nullptr)) {
            return false;
        }
        ++depth;
        return true;
    }
    bool scalar(std::string* text) {
        if (depth == 0) return false;  // the message must be an object or an array
        return depth > 1 || top_value(text);
    }

    bool begin_object() { return begin(Form::object); }
    bool begin_array() { return begin(Form::array); }
    bool end_object() {
        --depth;
        return true;
    }
    bool end_array() {
        --depth;
        return true;
    }
    bool key(std::string&& name) {
        if (depth == 1) member = std::move(name);
        return true;
    }
    bool string(std::string&& value) { return scalar(&value); }
    bool number() { return scalar(nullptr); }
    bool boolean(bool) { return scalar(nullptr); }
    bool null() { return scalar(nullptr); }

    std::optional<DesktopCommand> command() {
        const bool positional = form == Form::array;
        switch (tag) {
            case Tag::save_backup:
                if (positional ? elements != 2 : !json.single_string()) break;
                return SaveBackup{std::move(json.value)};
            case Tag::set_server_url:
                if (positional ? elements != 2 : !url.single_string()) break;
                return SetServerUrl{std::move(url.value)};
            case Tag::open_backups_folder:
                if (positional && elements != 1) break;
                return OpenBackupsFolder{};
            case Tag::none:
                break;
        }
        return std::nullopt;
    }
};

}  // namespace

std::optional<DesktopCommand> decode_command(std::string_view text) {
    CommandReader reader;
    if (!json::parse(text, reader)) return std::nullopt;
    return reader.command();
}

std::string encode_command(const DesktopCommand& command) {
    struct Encoder {
        std::string out;

        void operator()(const SaveBackup& c) {
            out = R"({"cmd":"save_backup","json":)";
            json::append_string(out, c.json);
            out += '}';
        }
        void operator()(const OpenBackupsFolder&) { out = R"({"cmd":"open_backups_folder"})"; }
        void operator()(const SetServerUrl& c) {
            out = R"({"cmd":"set_server_url","url":)";
            json::append_string(out, c.url);
            out += '}';
        }
    } encoder;
    std::visit(encoder, command);
    return std::move(encoder.out);
}

}  // namespace tarno_vesk
