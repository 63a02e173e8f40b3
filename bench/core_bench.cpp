// The archive core's hot paths: walking a directory with and without name
// decoding, opening through a byte source, and descrambling content.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "qvr/archive.h"

namespace {

std::vector<std::uint8_t> ArchiveOf(std::int64_t count) {
    std::vector<qvr::WriterEntry> entries;
    entries.reserve(static_cast<std::size_t>(count));
    for (std::int64_t i = 0; i < count; ++i) {
        const std::string name = "data\\dir" + std::to_string(i % 97) + "\\file" + std::to_string(i) + ".bin";
        entries.push_back({{name.begin(), name.end()}, std::vector<std::uint8_t>(64, 1)});
    }
    return qvr::WriteArchive(entries).bytes;
}

void BM_WalkDecodingNames(benchmark::State& state) {
    const auto image = ArchiveOf(state.range(0));
    for (auto _ : state) {
        qvr::OpenedArchive archive;
        qvr::OpenArchiveImage(image, archive);
        auto cursor = archive.Begin();
        qvr::Entry e;
        std::uint64_t sum = 0;
        for (std::uint32_t i = 0; i < archive.header.entryCount && qvr::ReadNextEntry(cursor, e); ++i) sum += e.dataSize;
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_WalkDecodingNames)->Arg(64)->Arg(65535);

void BM_WalkSkippingNames(benchmark::State& state) {
    const auto image = ArchiveOf(state.range(0));
    for (auto _ : state) {
        qvr::OpenedArchive archive;
        qvr::OpenArchiveImage(image, archive);
        auto cursor = archive.Begin();
        for (std::uint32_t i = 0; i < archive.header.entryCount && qvr::SkipEntry(cursor); ++i) {
        }
        benchmark::DoNotOptimize(cursor.offset);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_WalkSkippingNames)->Arg(64)->Arg(65535);

void BM_OpenArchiveFile(benchmark::State& state) {
    const auto image = ArchiveOf(state.range(0));
    qvr::SpanByteSource source(image);
    for (auto _ : state) {
        qvr::OpenedArchive archive;
        benchmark::DoNotOptimize(qvr::OpenArchiveFile(source, 0, archive));
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(image.size()));
}
BENCHMARK(BM_OpenArchiveFile)->Arg(64)->Arg(65535);

void BM_DescrambleContent(benchmark::State& state) {
    std::vector<std::uint8_t> content(static_cast<std::size_t>(state.range(0)), 7);
    for (auto _ : state) {
        qvr::DescrambleContent(content);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_DescrambleContent)->Arg(64);

}  // namespace

BENCHMARK_MAIN();
