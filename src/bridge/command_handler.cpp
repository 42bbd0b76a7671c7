#include "bridge/command_handler.hpp"

#include "bridge/backups.hpp"
#include "bridge/backups_folder.hpp"
#include "bridge/command.hpp"
#include "bridge/server_url.hpp"

namespace tarno_vesk {
namespace {

template <class... Ts>
struct Overloaded : Ts... {
    using Ts::operator()...;
};
template <class... Ts>
Overloaded(Ts...) -> Overloaded<Ts...>;

}  // namespace

void handle_command_message(const std::string& data_dir, std::string_view text) {
    auto command = decode_command(text);
    if (!command) return;  // dropped without a trace
    std::visit(Overloaded{
                   [&](const SaveBackup& c) { save_backup_file(data_dir, c.json); },
                   [&](const OpenBackupsFolder&) { show_backups_folder(data_dir); },
                   [&](const SetServerUrl& c) { store_server_url(data_dir, c.url); },
               },
               *command);
}

}  // namespace tarno_vesk
