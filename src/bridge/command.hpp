// The commands a page posts, decoded from their JSON text.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace tarno_vesk {

struct SaveBackup {
    std::string json;
    bool operator==(const SaveBackup&) const = default;
};
struct OpenBackupsFolder {
    bool operator==(const OpenBackupsFolder&) const = default;
};
struct SetServerUrl {
    std::string url;
    bool operator==(const SetServerUrl&) const = default;
};
using DesktopCommand = std::variant<SaveBackup, OpenBackupsFolder, SetServerUrl>;

// The command in a message text, or nothing when the text is rejected. Decoding is complete
// before the caller acts on anything.
std::optional<DesktopCommand> decode_command(std::string_view text);

// The canonical text the page bridge sends for `command`.
std::string encode_command(const DesktopCommand& command);

}  // namespace tarno_vesk
