#include "settings/config.hpp"

#include "json/json_reader.hpp"
#include "json/json_writer.hpp"
#include "platform/platform.hpp"
#include "shell/data_dir.hpp"

namespace tarno_vesk {
namespace {

constexpr const char* CONFIG_FILE = "config.json";
constexpr const char* CONFIG_TEMP_FILE = "config.json.tmp";

// Reads the record, in object or positional form, from the reader's events. Anything else
// than the two known members is parsed and dropped; their depth is only tracked.
struct ConfigReader {
    enum class Slot { none, app_url, backups, ignored };

    DesktopConfig config;
    int depth = 0;
    bool positional = false;
    int positional_index = 0;  // elements seen at the top of the positional form
    Slot slot = Slot::none;    // what the value now being read at depth 1 (or 2) fills
    bool seen_app_url = false;
    bool seen_backups = false;

    bool top_value_starts() {
        if (!positional) return true;
        ++positional_index;
        slot = positional_index == 1   ? Slot::app_url
               : positional_index == 2 ? Slot::backups
                                       : Slot::none;
        return positional_index <= 2;
    }
    bool begin_object() {
        if (depth == 0) return ++depth, true;
        if (depth == 1 && !top_value_starts()) return false;
        if (depth == 1 && slot != Slot::ignored) return false;  // neither field is an object
        if (depth == 2 && slot == Slot::backups) return false;  // entries must be strings
        return ++depth, true;
    }
    bool begin_array() {
        if (depth == 0) {
            positional = true;
            return ++depth, true;
        }
        if (depth == 1 && !top_value_starts()) return false;
        if (depth == 1 && slot == Slot::app_url) return false;
        if (depth == 1 && slot == Slot::backups) seen_backups = true;
        if (depth == 2 && slot == Slot::backups) return false;  // entries must be strings
        return ++depth, true;
    }
    bool end_container() {
        --depth;
        if (depth == 0) return positional ? positional_index == 2 : seen_backups;
        return true;
    }
    bool end_object() { return end_container(); }
    bool end_array() { return end_container(); }
    bool key(std::string&& name) {
        if (depth != 1) return true;
        if (name == "app_url") {
            if (seen_app_url) return false;
            seen_app_url = true;
            slot = Slot::app_url;
        } else if (name == "backups") {
            if (seen_backups) return false;
            slot = Slot::backups;
        } else {
            slot = Slot::ignored;
        }
        return true;
    }
    // A scalar at the top of the record, or an entry of the backups list.
    bool scalar(std::string* text, bool is_null) {
        if (depth == 0) return false;
        if (depth == 1 && !top_value_starts()) return false;
        if (depth == 1 && slot == Slot::app_url) {
            if (text != nullptr) config.app_url = std::move(*text);
            return text != nullptr || is_null;
        }
        if (depth == 1) return slot == Slot::ignored;
        if (depth == 2 && slot == Slot::backups) {
            if (text == nullptr) return false;
            config.backups.push_back(std::move(*text));
        }
        return true;
    }
    bool string(std::string&& value) { return scalar(&value, false); }
    bool number() { return scalar(nullptr, false); }
    bool boolean(bool) { return scalar(nullptr, false); }
    bool null() { return scalar(nullptr, true); }
};

void append_line(std::string& out, int indent, std::string_view text) {
    out.append(static_cast<size_t>(indent), ' ');
    out.append(text);
}

}  // namespace

std::optional<DesktopConfig> parse_config(std::string_view text) {
    ConfigReader reader;
    if (!json::parse(text, reader)) return std::nullopt;
    return std::move(reader.config);
}

std::string format_config(const DesktopConfig& config) {
    std::string out = "{\n  \"app_url\": ";
    if (config.app_url) {
        json::append_string(out, *config.app_url);
    } else {
        out += "null";
    }
    out += ",\n  \"backups\": ";
    if (config.backups.empty()) {
        out += "[]";
    } else {
        out += "[\n";
        for (size_t i = 0; i < config.backups.size(); ++i) {
            append_line(out, 4, "");
            json::append_string(out, config.backups[i]);
            out += i + 1 < config.backups.size() ? ",\n" : "\n";
        }
        append_line(out, 2, "]");
    }
    out += "\n}";
    return out;
}

DesktopConfig load_config(const std::string& data_dir) {
    auto text = platform::read_whole_file(path_join(data_dir, CONFIG_FILE));
    if (!text) return {};
    return parse_config(*text).value_or(DesktopConfig{});
}

void save_config(const std::string& data_dir, const DesktopConfig& config) {
    // Written whole beside the target and flushed before the rename, so config.json is
    // always either the old file or the complete new one, even after a power loss.
    std::string temp = path_join(data_dir, CONFIG_TEMP_FILE);
    if (!platform::write_file_synced(temp, format_config(config))) return;
    platform::rename_replacing(temp, path_join(data_dir, CONFIG_FILE));
}

}  // namespace tarno_vesk
