// The benchmark's helpers that are not Google Benchmark runs. Each prints one JSON object.
//
//   bench_tools units WORDS SHAPE BYTES          units of SHAPE whose message is ~BYTES long
//   bench_tools backup WORDS UNITS OUT           writes the shop backup text (what the real
//                                                program should write for the same page)
//   bench_tools memory WORDS SHAPE BYTES PARSER  peak extra memory of one decode
//                                                (PARSER: decode_command | nlohmann)
//   bench_tools save WORDS BYTES ROUNDS DIR      handle_command_message against one write()
//                                                plus fsync, interleaved, in a folder under DIR
//
// SHAPE: shop-backup | ascii | u-escaped.
#include <fcntl.h>
#include <malloc.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "bridge/command.hpp"
#include "bridge/command_handler.hpp"
#include "shop_backup.hpp"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

bench::Shape parse_shape(const std::string& name) {
    for (auto s : {bench::Shape::shop, bench::Shape::ascii, bench::Shape::escaped}) {
        if (name == bench::shape_name(s)) return s;
    }
    std::fprintf(stderr, "unknown shape %s\n", name.c_str());
    std::exit(2);
}

// A field of /proc/self/status in KiB ("VmRSS", "VmHWM").
long status_kib(const char* field) {
    std::ifstream in("/proc/self/status");
    std::string line;
    const std::size_t n = std::strlen(field);
    while (std::getline(in, line)) {
        if (line.compare(0, n, field) == 0 && line[n] == ':')
            return std::atol(line.c_str() + n + 1);
    }
    return -1;
}

// Frees what the generator left behind and restarts the peak (VmHWM) from the current RSS.
void settle_and_reset_peak() {
    malloc_trim(0);
    std::ofstream("/proc/self/clear_refs") << "5";
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

std::string json_array(const std::vector<double>& v) {
    std::string s = "[";
    for (std::size_t i = 0; i < v.size(); ++i) {
        char buf[32];
        std::snprintf(buf, sizeof buf, "%s%.6f", i ? "," : "", v[i]);
        s += buf;
    }
    return s + "]";
}

int cmd_units(char** argv) {
    const auto words = bench::load_words(argv[0]);
    const auto shape = parse_shape(argv[1]);
    const std::size_t bytes = std::strtoull(argv[2], nullptr, 10);
    uint32_t units = 0;
    const std::size_t size = bench::sized_message(words, shape, bytes, &units).size();
    std::printf("{\"units\":%u,\"message_bytes\":%zu}\n", units, size);
    return 0;
}

int cmd_backup(char** argv) {
    const auto words = bench::load_words(argv[0]);
    const auto units = static_cast<uint32_t>(std::strtoul(argv[1], nullptr, 10));
    const std::string text = bench::shop_backup(words, units);
    std::ofstream(argv[2], std::ios::binary) << text;
    std::printf("{\"backup_bytes\":%zu,\"message_bytes\":%zu}\n", text.size(),
                tarno_vesk::encode_command(tarno_vesk::SaveBackup{text}).size());
    return 0;
}

int cmd_memory(char** argv) {
    // Fixed threshold: blocks from 1 MiB up are mapped and unmapped, never kept in the heap,
    // so the generator's freed memory cannot hide the decoder's allocations.
    mallopt(M_MMAP_THRESHOLD, 1 << 20);
    const auto words = bench::load_words(argv[0]);
    const auto shape = parse_shape(argv[1]);
    const std::size_t bytes = std::strtoull(argv[2], nullptr, 10);
    const std::string parser = argv[3];
    const std::string text = bench::sized_message(words, shape, bytes);
    settle_and_reset_peak();
    const long before = status_kib("VmRSS");
    std::size_t result_bytes = 0;
    if (parser == "decode_command") {
        auto command = tarno_vesk::decode_command(text);
        if (!command) return 1;
        result_bytes = std::get<tarno_vesk::SaveBackup>(*command).json.size();
    } else {
        auto value = nlohmann::json::parse(text);
        result_bytes = value.at("json").get_ref<const std::string&>().size();
    }
    const long peak = status_kib("VmHWM");
    std::printf(
        "{\"parser\":\"%s\",\"shape\":\"%s\",\"message_bytes\":%zu,\"result_bytes\":%zu,"
        "\"rss_before_kib\":%ld,\"peak_kib\":%ld,\"extra_kib\":%ld}\n",
        parser.c_str(), bench::shape_name(shape), text.size(), result_bytes, before, peak,
        peak - before);
    return 0;
}

// The floor: the same bytes with one write() and an fsync into a new file.
double floor_write(const std::string& path, const std::string& bytes) {
    const auto start = Clock::now();
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) std::exit(1);
    std::size_t done = 0;
    while (done < bytes.size()) {  // one call on Linux for a regular file; looped for safety
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0) std::exit(1);
        done += static_cast<std::size_t>(n);
    }
    if (::fsync(fd) != 0) std::exit(1);
    ::close(fd);
    return std::chrono::duration<double>(Clock::now() - start).count();
}

int cmd_save(char** argv) {
    mallopt(M_MMAP_THRESHOLD, 1 << 20);
    const auto words = bench::load_words(argv[0]);
    const std::size_t bytes = std::strtoull(argv[1], nullptr, 10);
    const int rounds = std::atoi(argv[2]);
    const fs::path parent = argv[3];

    uint32_t units = 0;
    bench::sized_message(words, bench::Shape::shop, bytes, &units);
    const std::string backup = bench::shop_backup(words, units);
    const std::string text = tarno_vesk::encode_command(tarno_vesk::SaveBackup{backup});

    std::string dir_template = (parent / "tv-save-XXXXXX").string();
    if (::mkdtemp(dir_template.data()) == nullptr) return 1;
    const fs::path dir = dir_template;
    const std::string data_dir = (dir / "data").string();
    const fs::path floor_path = dir / "floor.json";
    const fs::path backups = dir / "data" / "backups";
    struct statfs sfs {};
    ::statfs(dir.c_str(), &sfs);

    settle_and_reset_peak();
    const long rss_before = status_kib("VmRSS");
    std::vector<double> handle_s, floor_s, ratio, decode_s;
    // Untimed warm-up of both, then A B A B ...; files are removed between runs, untimed.
    tarno_vesk::handle_command_message(data_dir, text);
    fs::remove_all(backups);
    floor_write(floor_path, backup);
    fs::remove(floor_path);
    for (int r = 0; r < rounds; ++r) {
        auto start = Clock::now();
        tarno_vesk::handle_command_message(data_dir, text);
        const double h = std::chrono::duration<double>(Clock::now() - start).count();
        std::size_t written = 0;
        for (const auto& e : fs::directory_iterator(backups))
            written += fs::file_size(e.path());
        if (written != backup.size()) {
            std::fprintf(stderr, "backup not written as expected (%zu bytes)\n", written);
            return 1;
        }
        fs::remove_all(backups);
        const double f = floor_write(floor_path, backup);
        fs::remove(floor_path);
        start = Clock::now();
        auto command = tarno_vesk::decode_command(text);
        decode_s.push_back(std::chrono::duration<double>(Clock::now() - start).count());
        command.reset();
        handle_s.push_back(h);
        floor_s.push_back(f);
        ratio.push_back(h / f);
    }
    const long peak = status_kib("VmHWM");
    fs::remove_all(dir);
    struct rusage ru {};
    ::getrusage(RUSAGE_SELF, &ru);
    std::printf(
        "{\"message_bytes\":%zu,\"backup_bytes\":%zu,\"fs_magic\":%ld,"
        "\"handle_s\":%s,\"floor_s\":%s,\"decode_s\":%s,\"ratio\":%s,"
        "\"handle_median_s\":%.6f,\"floor_median_s\":%.6f,\"decode_median_s\":%.6f,"
        "\"ratio_median\":%.4f,\"rss_before_save_kib\":%ld,\"peak_during_save_kib\":%ld,"
        "\"ru_maxrss_kib\":%ld}\n",
        text.size(), backup.size(), static_cast<long>(sfs.f_type), json_array(handle_s).c_str(),
        json_array(floor_s).c_str(), json_array(decode_s).c_str(), json_array(ratio).c_str(),
        median(handle_s), median(floor_s), median(decode_s), median(ratio), rss_before, peak,
        ru.ru_maxrss);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string cmd = argc > 1 ? argv[1] : "";
    if (cmd == "units" && argc == 5) return cmd_units(argv + 2);
    if (cmd == "backup" && argc == 5) return cmd_backup(argv + 2);
    if (cmd == "memory" && argc == 6) return cmd_memory(argv + 2);
    if (cmd == "save" && argc == 6) return cmd_save(argv + 2);
    std::fprintf(stderr, "usage: see the header of bench/src/bench_tools.cpp\n");
    return 2;
}
