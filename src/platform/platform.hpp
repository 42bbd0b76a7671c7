// The Linux platform layer: the few operating-system services the portable logic needs.
// Everything here is plain POSIX; no GTK, GLib or WebKit.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarno_vesk::platform {

// An environment variable, telling apart "not set", "set but not UTF-8" and a text.
enum class EnvState { unset, not_unicode, text };
struct EnvValue {
    EnvState state = EnvState::unset;
    std::string text;
};
EnvValue read_env(const char* name);

// The XDG data home ($XDG_DATA_HOME when absolute, else $HOME/.local/share) and the XDG
// config home ($XDG_CONFIG_HOME when absolute, else $HOME/.config); nothing when neither
// source is available.
std::optional<std::string> local_data_folder();
std::optional<std::string> roaming_data_folder();

// Creates the folder and every missing parent; an existing folder is success.
bool create_dir_all(const std::string& path);

// The whole file, or nothing when it cannot be opened or read.
std::optional<std::string> read_whole_file(const std::string& path);

// Creates or truncates `path`, writes all of `bytes`, flushes it to stable storage and
// closes it. False on any failure (what was written may remain).
bool write_file_synced(const std::string& path, std::string_view bytes);

// rename(2), replacing `to`; the containing folder is flushed afterwards so the new name
// survives a power loss.
bool rename_replacing(const std::string& from, const std::string& to);

// Publishes `bytes` as a new file in `folder` without ever replacing an existing file.
// The bytes go to a temporary file (named `temp_prefix` + random + ".tmp") that is flushed to
// stable storage and then renamed to `name_for(0)`, or `name_for(1)`, ... when a name is
// taken. The temporary file stays locked until then, so that remove_stale_temp_files can tell
// it from one left by a process that died. Returns the final path; on failure no file is left.
std::optional<std::string> publish_new_file(const std::string& folder, std::string_view temp_prefix,
                                            std::string_view bytes,
                                            const std::function<std::string(unsigned)>& name_for);

// Removes the temporary files named `temp_prefix` + random + ".tmp" in `folder` that no living
// process holds locked: those left by a process that died before publishing them.
void remove_stale_temp_files(const std::string& folder, std::string_view temp_prefix);

// The local date and time now, formatted with strftime's `pattern`.
std::string local_time_now(const char* pattern);

// The first executable file called `name` in the `PATH` entries (in order, empty and
// relative entries skipped, so the current directory is never searched).
std::optional<std::string> find_program(std::string_view name, std::string_view path_list);

// Starts `program` with `args` (an argument vector, no shell), inheriting environment,
// current directory and standard streams. The child is not waited for, and it is reaped so
// that no zombie is left behind. False when it could not be started.
bool start_detached(const std::string& program, const std::vector<std::string>& args);

// Hands memory the process has freed back to the system. After a message of tens of
// megabytes, the allocator would otherwise keep much of it for later use.
void release_free_memory();

// Whether the machine has a GPU render node (/dev/dri/renderD*): without one, any OpenGL
// drawing is done by the processor in software.
bool has_gpu_render_node();

}  // namespace tarno_vesk::platform
