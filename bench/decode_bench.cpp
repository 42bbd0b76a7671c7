// Throughput of decode_command on backup messages of tens of megabytes, in the three shapes
// pages send.
// Not part of the CMake build. From the repository root, with libbenchmark-dev installed:
//   g++ -std=c++20 -O2 -DNDEBUG -Isrc bench/decode_bench.cpp src/bridge/command.cpp
//       src/json/json_reader.cpp src/json/json_writer.cpp
//       -lbenchmark -lbenchmark_main -pthread -o decode_bench
// (one command line), then ./decode_bench.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>

#include "bridge/command.hpp"

namespace {

using namespace tarno_vesk;

constexpr std::size_t MESSAGE_BYTES = 64u << 20;

// A stringified array of records, as a page's backup holds.
std::string records(bool persian) {
    const std::string name =
        persian ? "\xD8\xB9\xD9\x84\xDB\x8C \xD8\xB1\xD8\xB6\xD8\xA7\xDB\x8C\xDB\x8C"
                : "Ali Rezaei";
    const std::string note =
        persian
            ? "\xD8\xAE\xD8\xB1\xDB\x8C\xD8\xAF \xD9\x85\xD8\xA7\xD9\x87\xD8\xA7\xD9\x86\xD9\x87 "
              "\xD8\xA7\xD8\xB2 \xD9\x81\xD8\xB1\xD9\x88\xD8\xB4\xDA\xAF\xD8\xA7\xD9\x87"
            : "Monthly purchase from the shop";
    std::string out = "[";
    for (int id = 0; out.size() < MESSAGE_BYTES * 7 / 10; ++id) {
        out += "{\"id\":" + std::to_string(id) + ",\"name\":\"" + name + "\",\"note\":\"" + note +
               "\",\"amount\":125000,\"paid\":true},";
    }
    out.back() = ']';
    return out;
}

// Persian letters as \u06XX escapes, as some pages send them.
std::string with_escaped_persian(const std::string& message) {
    std::string out;
    out.reserve(message.size() * 2);
    constexpr char HEX[] = "0123456789abcdef";
    for (std::size_t i = 0; i < message.size(); ++i) {
        const auto c = static_cast<unsigned char>(message[i]);
        if ((c & 0xE0) != 0xC0) {
            out += static_cast<char>(c);
            continue;
        }
        const unsigned cp = ((c & 0x1Fu) << 6) | (static_cast<unsigned char>(message[++i]) & 0x3Fu);
        out += "\\u";
        for (int shift = 12; shift >= 0; shift -= 4)
            out += HEX[(cp >> shift) & 0xF];
    }
    return out;
}

void run(benchmark::State& state, const std::string& message) {
    for (auto _ : state) {
        auto command = decode_command(message);
        if (!command) state.SkipWithError("rejected");
        benchmark::DoNotOptimize(command);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(message.size()));
}

void StringifiedPersian(benchmark::State& state) {
    static const std::string message = encode_command(SaveBackup{records(true)});
    run(state, message);
}
void StringifiedAscii(benchmark::State& state) {
    static const std::string message = encode_command(SaveBackup{records(false)});
    run(state, message);
}
void EscapedPersian(benchmark::State& state) {
    static const std::string message =
        with_escaped_persian(encode_command(SaveBackup{records(true)}));
    run(state, message);
}

BENCHMARK(StringifiedPersian)->Unit(benchmark::kMillisecond);
BENCHMARK(StringifiedAscii)->Unit(benchmark::kMillisecond);
BENCHMARK(EscapedPersian)->Unit(benchmark::kMillisecond);

}  // namespace
