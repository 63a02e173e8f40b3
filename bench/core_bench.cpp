// The archive core's hot paths: walking a directory with and without name
// decoding, opening through a byte source, and descrambling content.
#include <benchmark/benchmark.h>

#include <optional>
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

void BM_SkipEntries(benchmark::State& state) {
    const auto image = ArchiveOf(state.range(0));
    for (auto _ : state) {
        qvr::OpenedArchive archive;
        qvr::OpenArchiveImage(image, archive);
        auto cursor = archive.Begin();
        benchmark::DoNotOptimize(qvr::SkipEntries(cursor, archive.header.entryCount));
        benchmark::DoNotOptimize(cursor.offset);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_SkipEntries)->Arg(64)->Arg(65535);

// The last entry through a byte source: the directory read in pieces as
// far as the entry, against reading it whole and walking.
void BM_ReadEntryAtLast(benchmark::State& state) {
    const auto image = ArchiveOf(state.range(0));
    qvr::SpanByteSource source(image);
    const auto last = static_cast<std::uint32_t>(state.range(0) - 1);
    for (auto _ : state) {
        std::optional<qvr::Entry> entry;
        benchmark::DoNotOptimize(qvr::ReadEntryAt(source, 0, last, entry));
        benchmark::DoNotOptimize(entry);
    }
}
BENCHMARK(BM_ReadEntryAtLast)->Arg(64)->Arg(65535);

void BM_OpenFileAndWalkToLast(benchmark::State& state) {
    const auto image = ArchiveOf(state.range(0));
    qvr::SpanByteSource source(image);
    const auto last = static_cast<std::uint32_t>(state.range(0) - 1);
    for (auto _ : state) {
        qvr::OpenedArchive archive;
        qvr::OpenArchiveFile(source, 0, archive);
        auto cursor = archive.Begin();
        qvr::Entry e;
        for (std::uint32_t i = 0; i <= last && qvr::ReadNextEntry(cursor, e); ++i) {
        }
        benchmark::DoNotOptimize(e);
    }
}
BENCHMARK(BM_OpenFileAndWalkToLast)->Arg(64)->Arg(65535);

// The whole directory through the tool's window, as one entry to standard
// output walks it: each stored name's top bits for the encoding guess.
void BM_WindowWalkGuessingEncoding(benchmark::State& state) {
    const auto image = ArchiveOf(state.range(0));
    qvr::SpanByteSource source(image);
    std::vector<std::uint8_t> window((std::size_t{128} << 10) + qvr::MaxEntrySize);
    for (auto _ : state) {
        qvr::WindowWalk walk(source, 0, window);
        benchmark::DoNotOptimize(qvr::GuessNameEncoding(walk).Result());
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_WindowWalkGuessingEncoding)->Arg(64)->Arg(65535);

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
