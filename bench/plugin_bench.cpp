// The plug-in as a host drives it, timed in one process: GetFile on entries
// spread evenly over an archive, through AXQVR.SPI, through the same code
// built the literal way (the whole directory read and every passed name
// decoded on each call), and against the floor: the host itself opening the
// file, seeking to the entry, reading its bytes into a fresh movable block
// and closing it, and the same after reading the directory up to the entry
// (what the format makes any reader read), each pair interleaved call by
// call; and GetArchiveInfo against allocating and zero-filling a block the
// size of its listing.
//
//   plugin_bench FAST.SPI LITERAL.SPI [--entries N] [--sample S] [--rounds R]
//
// A Windows program (run it under 64-bit Wine); timing uses
// QueryPerformanceCounter, since Google Benchmark is not available for the
// cross compilers. Only the ratios mean anything. The exit status says
// whether both builds gave the same bytes and codes, never how fast they were.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <windows.h>

#include "axqvr/contract.h"
#include "qvr/archive.h"

namespace {

using axqvr::LocalHandle;
using axqvr::ResultCode;

struct Plugin {
    const char* path = nullptr;
    HMODULE module = nullptr;
    axqvr::GetArchiveInfoFn getArchiveInfo = nullptr;
    axqvr::GetFileFn getFile = nullptr;
};

bool Load(const char* path, Plugin& out) {
    out.path = path;
    out.module = LoadLibraryA(path);
    if (out.module == nullptr) return false;
    out.getArchiveInfo = reinterpret_cast<axqvr::GetArchiveInfoFn>(
        reinterpret_cast<void*>(GetProcAddress(out.module, "GetArchiveInfo")));
    out.getFile =
        reinterpret_cast<axqvr::GetFileFn>(reinterpret_cast<void*>(GetProcAddress(out.module, "GetFile")));
    return out.getArchiveInfo != nullptr && out.getFile != nullptr;
}

double Seconds() {
    static const double frequency = [] {
        LARGE_INTEGER f{};
        QueryPerformanceFrequency(&f);
        return static_cast<double>(f.QuadPart);
    }();
    LARGE_INTEGER now{};
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) / frequency;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0.0 : v[v.size() / 2];
}

// FNV-1a over everything a host receives, so that two runs can be compared
// without keeping 65535 blocks.
struct Digest {
    std::uint64_t value = 14695981039346656037ull;
    void Add(const void* data, std::size_t n) {
        const auto* p = static_cast<const std::uint8_t*>(data);
        for (std::size_t i = 0; i < n; ++i) value = (value ^ p[i]) * 1099511628211ull;
    }
    void Add(std::uint32_t v) { Add(&v, sizeof v); }
};

// Adds a received block to the digest and frees it, as a host would.
void TakeBlock(LocalHandle handle, Digest& digest) {
    const auto size = static_cast<std::uint32_t>(LocalSize(handle));
    digest.Add(size);
    const void* bytes = LocalLock(handle);
    if (bytes != nullptr) digest.Add(bytes, size);
    LocalUnlock(handle);
    LocalFree(handle);
}

// The shape of the small corpus: names like d017\f01234.bin, 64 to 512 bytes each.
std::vector<qvr::WriterEntry> Entries(std::uint32_t count) {
    std::vector<qvr::WriterEntry> entries(count);
    std::uint32_t seed = 12345;
    for (std::uint32_t i = 0; i < count; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "d%03u\\f%05u.bin", static_cast<unsigned>(i % 256),
                      static_cast<unsigned>(i));
        entries[i].name.assign(name, name + std::strlen(name));
        seed = seed * 1103515245u + 12345u;
        entries[i].content.resize(64 + (seed >> 16) % 449);
        for (auto& b : entries[i].content) {
            seed = seed * 1103515245u + 12345u;
            b = static_cast<std::uint8_t>(seed >> 24);
        }
    }
    return entries;
}

bool WriteFileBytes(const char* path, const std::vector<std::uint8_t>& bytes) {
    HANDLE file = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    const bool ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
                    written == bytes.size();
    CloseHandle(file);
    return ok;
}

constexpr std::uint32_t MemoryOutput = axqvr::MakeFlags(axqvr::InputKind::File, axqvr::OutputKind::Memory);

// One GetFile call, timed with the host taking the block; the digest
// covers the result code and the block.
double ExtractOne(const Plugin& plugin, const char* archive, std::uint32_t i, Digest& digest) {
    const double start = Seconds();
    LocalHandle handle = nullptr;
    const std::int32_t r =
        plugin.getFile(archive, static_cast<std::int32_t>(i), &handle, MemoryOutput, nullptr, 0);
    digest.Add(static_cast<std::uint32_t>(r));
    if (r == static_cast<std::int32_t>(ResultCode::Success)) TakeBlock(handle, digest);
    return Seconds() - start;
}

// Where an entry lies in the archive file, as the writer laid it out.
struct Placement {
    std::uint32_t offset = 0;
    std::uint32_t size = 0;
    std::uint32_t recordEnd = 0;  // where its directory record ends, from the file's first byte
};

// Pieces of the directory read by the format's floor: what the plug-in's
// window on the stack holds.
constexpr DWORD DirectoryPiece = 64 << 10;

// The least any host must do for an entry whose place it already knows:
// open the file, seek, read the bytes into a fresh movable block, close
// the file; then take the block as after GetFile. With `directoryBytes`,
// the file's first bytes are read before that in pieces and passed over:
// what a reader that does not know the place must read at least, since the
// directory has no index and entry i is found only by passing the records
// before it.
double ReadAtFloor(const char* archive, Placement at, Digest& digest, std::uint32_t directoryBytes = 0) {
    const double start = Seconds();
    HANDLE file = CreateFileA(archive, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    std::int32_t r = static_cast<std::int32_t>(ResultCode::OpenFailed);
    HLOCAL handle = nullptr;
    if (file != INVALID_HANDLE_VALUE) {
        static std::array<std::uint8_t, DirectoryPiece> piece;
        for (std::uint32_t read = 0; read < directoryBytes;) {
            DWORD got = 0;
            if (!ReadFile(file, piece.data(), std::min<DWORD>(DirectoryPiece, directoryBytes - read), &got, nullptr) || got == 0)
                break;
            read += got;
        }
        LARGE_INTEGER position{};
        position.QuadPart = at.offset;
        handle = LocalAlloc(LMEM_MOVEABLE | LMEM_ZEROINIT, at.size);
        void* bytes = handle != nullptr ? LocalLock(handle) : nullptr;
        DWORD got = 0;
        if (bytes != nullptr && SetFilePointerEx(file, position, nullptr, FILE_BEGIN) &&
            ReadFile(file, bytes, at.size, &got, nullptr) && got == at.size)
            r = 0;
        if (handle != nullptr) LocalUnlock(handle);
        CloseHandle(file);
    }
    digest.Add(static_cast<std::uint32_t>(r));
    if (r == 0) TakeBlock(handle, digest);
    else if (handle != nullptr) LocalFree(handle);
    return Seconds() - start;
}

// One way of getting entry `i`, timed; its digest gets what the host got.
using Way = double (*)(const Plugin& plugin, const char* archive, std::uint32_t i, const Placement& at,
                       Digest& digest);

double ByGetFile(const Plugin& plugin, const char* archive, std::uint32_t i, const Placement&, Digest& digest) {
    return ExtractOne(plugin, archive, i, digest);
}

double ByFloor(const Plugin&, const char* archive, std::uint32_t, const Placement& at, Digest& digest) {
    return ReadAtFloor(archive, at, digest);
}

double ByDirectoryFloor(const Plugin&, const char* archive, std::uint32_t, const Placement& at, Digest& digest) {
    return ReadAtFloor(archive, at, digest, at.recordEnd);
}

struct Contender {
    Contender(const Plugin& p, Way w) : plugin(&p), way(w) {}
    const Plugin* plugin;
    Way way;
    Digest digest;
    double seconds = 0;
};

// Two ways take turns entry by entry, each first in turn, so that a change
// in the machine's load, or a cache one of them warms, weighs on both
// alike. Returns the seconds per call of each.
void Interleave(Contender& a, Contender& b, const char* archive, const std::vector<std::uint32_t>& indexes,
                const std::vector<Placement>& places) {
    for (std::size_t k = 0; k < indexes.size(); ++k) {
        const std::uint32_t i = indexes[k];
        Contender& first = k % 2 == 0 ? a : b;
        Contender& second = k % 2 == 0 ? b : a;
        first.seconds += first.way(*first.plugin, archive, i, places[i], first.digest);
        second.seconds += second.way(*second.plugin, archive, i, places[i], second.digest);
    }
    a.seconds /= static_cast<double>(indexes.size());
    b.seconds /= static_cast<double>(indexes.size());
}

// The same entry again and again: what one call costs at that depth.
double ExtractRepeatedly(const Plugin& plugin, const char* archive, std::uint32_t index, int calls) {
    Digest ignored;
    const double start = Seconds();
    for (int c = 0; c < calls; ++c) {
        LocalHandle handle = nullptr;
        if (plugin.getFile(archive, static_cast<std::int32_t>(index), &handle, MemoryOutput, nullptr, 0) == 0)
            LocalFree(handle);
    }
    return (Seconds() - start) / calls;
}

double ListOnce(const Plugin& plugin, const char* archive, Digest* digest) {
    const double start = Seconds();
    LocalHandle handle = nullptr;
    const std::int32_t r = plugin.getArchiveInfo(archive, 0, 0, &handle);
    if (digest != nullptr) digest->Add(static_cast<std::uint32_t>(r));
    if (r == 0) {
        if (digest != nullptr) TakeBlock(handle, *digest);
        else LocalFree(handle);
    }
    return Seconds() - start;
}

// What a listing cannot do in less: a movable zero-initialised block of the
// same size, every byte of it written once, then freed.
double AllocateAndZeroFill(std::size_t size) {
    const double start = Seconds();
    HLOCAL handle = LocalAlloc(LMEM_MOVEABLE | LMEM_ZEROINIT, size);
    if (handle != nullptr) {
        auto* bytes = static_cast<std::uint8_t*>(LocalLock(handle));
        if (bytes != nullptr) std::memset(bytes, 0, size);
        LocalUnlock(handle);
        LocalFree(handle);
    }
    return Seconds() - start;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: plugin_bench FAST.SPI LITERAL.SPI [--entries N] [--sample S] [--rounds R]\n");
        return 2;
    }
    std::uint32_t count = 65535, sample = 2000;
    int rounds = 15;
    for (int a = 3; a + 1 < argc; a += 2) {
        if (!std::strcmp(argv[a], "--entries")) count = static_cast<std::uint32_t>(std::atoi(argv[a + 1]));
        else if (!std::strcmp(argv[a], "--sample")) sample = static_cast<std::uint32_t>(std::atoi(argv[a + 1]));
        else if (!std::strcmp(argv[a], "--rounds")) rounds = std::max(1, std::atoi(argv[a + 1]));
    }
    count = std::clamp<std::uint32_t>(count, 1, 65535);
    sample = std::clamp<std::uint32_t>(sample, 1, count);

    Plugin fast, literal;
    if (!Load(argv[1], fast) || !Load(argv[2], literal)) {
        std::fprintf(stderr, "plugin_bench: cannot load %s and %s\n", argv[1], argv[2]);
        return 2;
    }
    const auto entries = Entries(count);
    const auto written = qvr::WriteArchive(entries);
    const char* archive = "plugin-bench.qvr";
    if (!written.ok() || !WriteFileBytes(archive, written.bytes)) {
        std::fprintf(stderr, "plugin_bench: cannot write %s\n", archive);
        return 2;
    }
    // The writer puts the data directly after the directory, in entry order.
    std::size_t dataBytes = 0;
    for (const auto& e : entries) dataBytes += e.content.size();
    const std::size_t directoryEnd = written.bytes.size() - dataBytes;
    std::vector<Placement> places(count);
    std::size_t offset = directoryEnd;
    std::size_t recordEnd = qvr::HeaderSize;
    for (std::uint32_t i = 0; i < count; ++i) {
        recordEnd += qvr::EntrySize(entries[i].name.size());
        places[i] = {static_cast<std::uint32_t>(offset), static_cast<std::uint32_t>(entries[i].content.size()),
                     static_cast<std::uint32_t>(recordEnd)};
        offset += entries[i].content.size();
    }
    const std::size_t blockSize = axqvr::ListingBlockSize(count);
    std::printf("archive: %u entries, %zu bytes, directory %zu bytes; listing block %zu bytes\n",
                static_cast<unsigned>(count), written.bytes.size(), directoryEnd - qvr::HeaderSize, blockSize);

    // One call's cost at the first, middle and last entry, both builds.
    const int repeat = std::max(1, std::min(200, rounds * 20));
    std::printf("GetFile, one call (mean of %d):\n", repeat);
    for (const std::uint32_t index : {0u, count / 2, count - 1}) {
        const double f = ExtractRepeatedly(fast, archive, index, repeat);
        const double l = ExtractRepeatedly(literal, archive, index, repeat);
        std::printf("  entry %5u  fast %9.2f us  literal %9.2f us  ratio %.1f\n", static_cast<unsigned>(index),
                    f * 1e6, l * 1e6, l / f);
    }
    std::fflush(stdout);

    // Entries spread evenly from the first to the last; what every block
    // should be (the entry's plain bytes, or as stored for the floor).
    std::vector<std::uint32_t> indexes(sample);
    for (std::uint32_t k = 0; k < sample; ++k)
        indexes[k] = sample == 1 ? 0 : static_cast<std::uint32_t>(std::uint64_t{k} * (count - 1) / (sample - 1));
    Digest expected, expectedStored;
    for (const std::uint32_t i : indexes) {
        const auto& content = entries[i].content;
        for (Digest* d : {&expected, &expectedStored}) {
            d->Add(0u);
            d->Add(static_cast<std::uint32_t>(content.size()));
        }
        expected.Add(content.data(), content.size());
        expectedStored.Add(written.bytes.data() + places[i].offset, places[i].size);
    }

    // Warm the file cache and both DLLs. Then GetFile against the floor, and
    // apart from that, against the literal build: the literal way's
    // megabytes of fresh buffer each call would weigh on the floor's calls too.
    const std::vector<std::uint32_t> warmIndexes(indexes.begin(),
                                                 indexes.begin() + std::min<std::ptrdiff_t>(std::ssize(indexes), 50));
    Contender warmFast(fast, ByGetFile), warmLiteral(literal, ByGetFile), warmFloor(fast, ByFloor);
    Interleave(warmFast, warmFloor, archive, warmIndexes, places);
    Interleave(warmFast, warmLiteral, archive, warmIndexes, places);
    Contender fastOnFloor(fast, ByGetFile), floor(fast, ByFloor);
    Interleave(fastOnFloor, floor, archive, indexes, places);
    Contender fastOnDirectory(fast, ByGetFile), directoryFloor(fast, ByDirectoryFloor);
    Interleave(fastOnDirectory, directoryFloor, archive, indexes, places);
    Contender fastOnLiteral(fast, ByGetFile), literalWay(literal, ByGetFile);
    Interleave(fastOnLiteral, literalWay, archive, indexes, places);
    const bool sameBlocks = fastOnFloor.digest.value == expected.value && fastOnLiteral.digest.value == expected.value &&
                            literalWay.digest.value == expected.value && floor.digest.value == expectedStored.value &&
                            fastOnDirectory.digest.value == expected.value &&
                            directoryFloor.digest.value == expectedStored.value;
    const double toFloor = fastOnFloor.seconds / floor.seconds, toLiteral = literalWay.seconds / fastOnLiteral.seconds;
    std::printf("GetFile, %u entries spread evenly over %u, interleaved call by call:\n", static_cast<unsigned>(sample),
                static_cast<unsigned>(count));
    std::printf("  floor (open, seek, read into a new block, close)  %9.2f us/call\n", floor.seconds * 1e6);
    std::printf("  GetFile, AXQVR.SPI, beside the floor              %9.2f us/call\n", fastOnFloor.seconds * 1e6);
    std::printf("  ratio fast/floor = %.2f (target <= 1.25: %s)\n", toFloor, toFloor <= 1.25 ? "met" : "missed");
    std::printf("  the floor reading the directory up to the entry   %9.2f us/call (%.2f times the floor)\n",
                directoryFloor.seconds * 1e6, directoryFloor.seconds / floor.seconds);
    std::printf("  GetFile, AXQVR.SPI, beside it                     %9.2f us/call (ratio %.2f)\n",
                fastOnDirectory.seconds * 1e6, fastOnDirectory.seconds / directoryFloor.seconds);
    std::printf("  GetFile, AXQVR-literal.SPI                        %9.2f us/call\n", literalWay.seconds * 1e6);
    std::printf("  GetFile, AXQVR.SPI, beside the literal build      %9.2f us/call\n", fastOnLiteral.seconds * 1e6);
    std::printf("  ratio literal/fast = %.1f (target >= 10: %s)\n", toLiteral, toLiteral >= 10 ? "met" : "missed");
    std::printf("  blocks and codes as the writer made them: %s\n", sameBlocks ? "yes" : "NO");
    std::fflush(stdout);

    // Listing: interleaved rounds, medians.
    Digest fastList, literalList;
    ListOnce(fast, archive, &fastList);
    ListOnce(literal, archive, &literalList);
    std::vector<double> zeroFill, listFast, listLiteral;
    for (int r = 0; r < rounds; ++r) {
        zeroFill.push_back(AllocateAndZeroFill(blockSize));
        listFast.push_back(ListOnce(fast, archive, nullptr));
        listLiteral.push_back(ListOnce(literal, archive, nullptr));
    }
    const double zf = Median(zeroFill), lf = Median(listFast), ll = Median(listLiteral);
    std::printf("GetArchiveInfo, median of %d rounds:\n", rounds);
    std::printf("  LocalAlloc + zero-fill of %zu bytes  %8.3f ms\n", blockSize, zf * 1e3);
    std::printf("  GetArchiveInfo fast                  %8.3f ms  (ratio to alloc+zero-fill %.2f, target <= 1.5: %s)\n",
                lf * 1e3, lf / zf, lf / zf <= 1.5 ? "met" : "missed");
    std::printf("  GetArchiveInfo, literal build        %8.3f ms  (ratio %.2f; its listing is the same code)\n", ll * 1e3, ll / zf);
    const bool sameListing = fastList.value == literalList.value;
    std::printf("  listings identical between builds: %s\n", sameListing ? "yes" : "NO");

    DeleteFileA(archive);
    return sameBlocks && sameListing ? 0 : 1;
}
