// Placing every name of a large directory by extraction's rule (Placer),
// which extract, test and mount each do before their first file. The names
// are those of make_corpus's "small" (65535 files in 256 folders) and of a
// deeper tree.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <vector>

#include "names/placement.h"

namespace {

std::vector<std::string> SmallCorpusNames(std::int64_t count) {
    std::vector<std::string> names;
    for (std::int64_t i = 0; i < count; ++i) {
        char name[40];
        std::snprintf(name, sizeof name, "d%03lld\\f%05lld.bin", static_cast<long long>(i % 256),
                      static_cast<long long>(i));
        names.emplace_back(name);
    }
    return names;
}

std::vector<std::string> DeepNames(std::int64_t count) {
    std::vector<std::string> names;
    for (std::int64_t i = 0; i < count; ++i)
        names.push_back("project\\src\\module" + std::to_string(i % 61) + "\\part" + std::to_string(i % 7) +
                        "\\file" + std::to_string(i) + ".dat");
    return names;
}

void PlaceAll(benchmark::State& state, const std::vector<std::string>& names) {
    for (auto _ : state) {
        qvr::cli::Placer placer(qvr::cli::NameCodec::PassThrough(), names.size());
        std::uint32_t placed = 0;
        for (std::uint32_t i = 0; i < names.size(); ++i) {
            const auto& name = names[i];
            const auto place = placer.Add(
                i, std::span(reinterpret_cast<const std::uint8_t*>(name.data()), name.size()));
            placed += place.outcome == qvr::cli::Placing::Placed;
        }
        benchmark::DoNotOptimize(placed);
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(names.size()));
}

void BM_PlaceSmallCorpus(benchmark::State& state) { PlaceAll(state, SmallCorpusNames(state.range(0))); }
BENCHMARK(BM_PlaceSmallCorpus)->Arg(64)->Arg(65535)->Unit(benchmark::kMillisecond);

void BM_PlaceDeepTree(benchmark::State& state) { PlaceAll(state, DeepNames(state.range(0))); }
BENCHMARK(BM_PlaceDeepTree)->Arg(64)->Arg(65535)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
