// Decoding throughput: tarno_vesk::decode_command against nlohmann::json::parse on the same
// save_backup message texts, three shapes by three sizes, in one Google Benchmark run.
//
//   decode_throughput WORDS_JSON [--sizes=1,16,64] [google benchmark flags]
//
// bench/run passes --benchmark_repetitions=7 --benchmark_enable_random_interleaving=true
// --benchmark_report_aggregates_only=true and reads the medians from --benchmark_out.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "bridge/command.hpp"
#include "shop_backup.hpp"

namespace {

using bench::Shape;

void ours(benchmark::State& state, const std::string* text) {
    for (auto _ : state) {
        auto command = tarno_vesk::decode_command(*text);
        if (!command) state.SkipWithError("decode_command rejected the message");
        benchmark::DoNotOptimize(command);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(text->size()));
    state.counters["message_bytes"] = static_cast<double>(text->size());
}

void nlohmann_parse(benchmark::State& state, const std::string* text) {
    for (auto _ : state) {
        auto value = nlohmann::json::parse(*text);
        benchmark::DoNotOptimize(value);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(text->size()));
    state.counters["message_bytes"] = static_cast<double>(text->size());
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s WORDS_JSON [--sizes=1,16,64] [benchmark flags]\n", argv[0]);
        return 2;
    }
    const bench::Words words = bench::load_words(argv[1]);
    std::vector<int> sizes = {1, 16, 64};
    for (int i = 2; i < argc; ++i) {
        if (std::strncmp(argv[i], "--sizes=", 8) == 0) {
            sizes.clear();
            for (const char* p = argv[i] + 8; *p != '\0';) {
                char* end = nullptr;
                sizes.push_back(static_cast<int>(std::strtol(p, &end, 10)));
                p = *end == ',' ? end + 1 : end;
            }
        }
    }

    // Every message is made before any timing, and checked once against both parsers.
    std::vector<std::unique_ptr<std::string>> texts;
    for (int mib : sizes) {
        for (Shape shape : {Shape::shop, Shape::ascii, Shape::escaped}) {
            const std::size_t bytes = static_cast<std::size_t>(mib) << 20;
            auto text = std::make_unique<std::string>(bench::sized_message(words, shape, bytes));
            auto decoded = tarno_vesk::decode_command(*text);
            const auto* backup = decoded ? std::get_if<tarno_vesk::SaveBackup>(&*decoded) : nullptr;
            const auto reference = nlohmann::json::parse(*text);
            if (backup == nullptr || backup->json != reference.at("json").get<std::string>()) {
                std::fprintf(stderr, "decode_command and nlohmann disagree on %s %d MiB\n",
                             bench::shape_name(shape), mib);
                return 1;
            }
            const std::string base =
                std::string(bench::shape_name(shape)) + "/" + std::to_string(mib) + "MiB/";
            std::fprintf(stderr, "message %s: %zu bytes\n", base.c_str(), text->size());
            benchmark::RegisterBenchmark((base + "decode_command").c_str(), ours, text.get())
                ->Unit(benchmark::kMillisecond);
            benchmark::RegisterBenchmark((base + "nlohmann").c_str(), nlohmann_parse, text.get())
                ->Unit(benchmark::kMillisecond);
            texts.push_back(std::move(text));
        }
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
