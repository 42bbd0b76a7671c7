// Small shared pieces: waiting, files, temporary directories, log dumps.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <system_error>

#include "e2e/support/e2e_support.hpp"

namespace tarno_vesk::e2e {

bool wait_until(const std::function<bool()>& condition, std::chrono::milliseconds timeout,
                std::chrono::milliseconds poll_interval) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (condition()) return true;
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) return false;
        std::this_thread::sleep_for(
            std::min<std::chrono::steady_clock::duration>(poll_interval, deadline - now));
    }
}

std::optional<std::filesystem::path> find_in_path(const std::string& program) {
    if (program.find('/') != std::string::npos) {
        if (::access(program.c_str(), X_OK) == 0) return std::filesystem::path(program);
        return std::nullopt;
    }
    const char* path_env = std::getenv("PATH");
    std::string path = path_env != nullptr ? path_env : "/usr/local/bin:/usr/bin:/bin";
    std::istringstream dirs(path);
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        if (dir.empty()) dir = ".";
        std::filesystem::path candidate = std::filesystem::path(dir) / program;
        std::error_code ec;
        if (std::filesystem::is_regular_file(candidate, ec) &&
            ::access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
    }
    return std::nullopt;
}

std::optional<std::string> read_text_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

TempDir::TempDir(const std::string& prefix) {
    const char* tmpdir = std::getenv("TMPDIR");
    std::filesystem::path base = (tmpdir != nullptr && *tmpdir != '\0') ? tmpdir : "/tmp";
    std::string pattern = (base / (prefix + "-XXXXXX")).string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::system_error(errno, std::generic_category(), "mkdtemp " + pattern);
    }
    path_ = pattern;
}

TempDir::~TempDir() {
    if (path_.empty()) return;
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

TempDir::TempDir(TempDir&& other) noexcept : path_(std::move(other.path_)) {
    other.path_.clear();
}

TempDir& TempDir::operator=(TempDir&& other) noexcept {
    if (this != &other) {
        if (!path_.empty()) {
            std::error_code ec;
            std::filesystem::remove_all(path_, ec);
        }
        path_ = std::move(other.path_);
        other.path_.clear();
    }
    return *this;
}

DumpLogsOnFailure::DumpLogsOnFailure(std::vector<std::filesystem::path> files)
    : files_(std::move(files)) {}

DumpLogsOnFailure::~DumpLogsOnFailure() {
    try {
        if (!::testing::Test::HasFailure()) return;
        // The tail is what explains a failure; whole WebKit logs can be huge.
        constexpr std::size_t kMaxChars = 64 * 1024;
        for (const auto& file : files_) {
            auto text = read_text_file(file);
            std::cerr << "----- " << file.string() << " -----\n";
            if (!text) {
                std::cerr << "(unreadable)\n";
                continue;
            }
            if (text->size() > kMaxChars) {
                std::cerr << "(… " << (text->size() - kMaxChars) << " bytes cut)\n";
                text->erase(0, text->size() - kMaxChars);
            }
            std::cerr << *text << (text->empty() || text->back() != '\n' ? "\n" : "");
        }
        std::cerr << "----- end of logs -----" << std::endl;
    } catch (...) {
        // Nothing sensible left to do from a destructor.
    }
}

}  // namespace tarno_vesk::e2e
