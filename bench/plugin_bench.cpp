// The plug-in as a host drives it, timed in one process: extracting every
// entry of an archive with one GetFile call each, through AXQVR.SPI and
// through the same code built the literal way (the whole directory read and
// every passed name decoded on each call); and GetArchiveInfo against
// allocating and zero-filling a block the size of its listing.
//
//   plugin_bench FAST.SPI LITERAL.SPI [--entries N] [--rounds R]
//
// A Windows program (run it under 64-bit Wine); timing uses
// QueryPerformanceCounter, since Google Benchmark is not available for the
// cross compilers. Only the ratios mean anything. The exit status says
// whether both builds gave the same bytes and codes, never how fast they were.
#include <algorithm>
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

// Every entry, one GetFile call each, plus one index past the end; the
// digest covers each result code and each block.
double ExtractOne(const Plugin& plugin, const char* archive, std::uint32_t i, Digest& digest) {
    const double start = Seconds();
    LocalHandle handle = nullptr;
    const std::int32_t r =
        plugin.getFile(archive, static_cast<std::int32_t>(i), &handle, MemoryOutput, nullptr, 0);
    digest.Add(static_cast<std::uint32_t>(r));
    if (r == static_cast<std::int32_t>(ResultCode::Success)) TakeBlock(handle, digest);
    return Seconds() - start;
}

double ExtractEvery(const Plugin& plugin, const char* archive, std::uint32_t count, Digest& digest) {
    double total = 0;
    for (std::uint32_t i = 0; i <= count; ++i) total += ExtractOne(plugin, archive, i, digest);
    return total;
}

// Both builds entry by entry, so that a change in the machine's load
// weighs on both alike.
void ExtractEveryInterleaved(const Plugin& fast, const Plugin& literal, const char* archive, std::uint32_t count,
                             Digest& fastDigest, Digest& literalDigest, double& fastTime, double& literalTime) {
    fastTime = literalTime = 0;
    for (std::uint32_t i = 0; i <= count; ++i) {
        fastTime += ExtractOne(fast, archive, i, fastDigest);
        literalTime += ExtractOne(literal, archive, i, literalDigest);
    }
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
        std::fprintf(stderr, "usage: plugin_bench FAST.SPI LITERAL.SPI [--entries N] [--rounds R]\n");
        return 2;
    }
    std::uint32_t count = 65535;
    int rounds = 15;
    for (int a = 3; a + 1 < argc; a += 2) {
        if (!std::strcmp(argv[a], "--entries")) count = static_cast<std::uint32_t>(std::atoi(argv[a + 1]));
        else if (!std::strcmp(argv[a], "--rounds")) rounds = std::max(1, std::atoi(argv[a + 1]));
    }
    count = std::clamp<std::uint32_t>(count, 1, 65535);

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
    const std::size_t blockSize = axqvr::ListingBlockSize(count);
    std::printf("archive: %u entries, %zu bytes, directory %u bytes; listing block %zu bytes\n",
                static_cast<unsigned>(count), written.bytes.size(),
                static_cast<unsigned>(written.bytes.size() - [&] {
                    std::size_t data = 0;
                    for (const auto& e : entries) data += e.content.size();
                    return data;
                }() - qvr::HeaderSize),
                blockSize);

    // What every block should be: the entry's plain bytes; then one refusal.
    Digest expected;
    for (const auto& e : entries) {
        expected.Add(0u);
        expected.Add(static_cast<std::uint32_t>(e.content.size()));
        expected.Add(e.content.data(), e.content.size());
    }
    expected.Add(static_cast<std::uint32_t>(ResultCode::EntryNotFound));

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

    // Warm the file cache and both DLLs, then time both builds call by call,
    // and the fast one alone once more.
    Digest warm;
    ExtractEvery(fast, archive, std::min<std::uint32_t>(count, 256), warm);
    Digest fastDigest, literalDigest, fastAgain;
    double fast1 = 0, literalTime = 0;
    ExtractEveryInterleaved(fast, literal, archive, count, fastDigest, literalDigest, fast1, literalTime);
    const double fast2 = ExtractEvery(fast, archive, count, fastAgain);
    const double fastTime = fast1;
    const bool sameBlocks = fastDigest.value == expected.value && literalDigest.value == expected.value &&
                            fastAgain.value == expected.value;
    const double calls = count + 1.0;
    std::printf("GetFile, every entry once (%u calls each), the builds interleaved call by call:\n",
                static_cast<unsigned>(count + 1));
    std::printf("  fast     %9.3f s  %9.2f us/call  (alone, afterwards: %.3f s)\n", fastTime,
                fastTime / calls * 1e6, fast2);
    std::printf("  literal  %9.3f s  %9.2f us/call\n", literalTime, literalTime / calls * 1e6);
    std::printf("  ratio literal/fast = %.1f (target >= 20: %s)\n", literalTime / fastTime,
                literalTime / fastTime >= 20 ? "met" : "missed");
    std::printf("  blocks and codes identical to the entries: %s\n", sameBlocks ? "yes" : "NO");
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
    std::printf("  GetArchiveInfo fast                  %8.3f ms  (ratio to alloc+zero-fill %.2f, target <= 2: %s)\n",
                lf * 1e3, lf / zf, lf / zf <= 2 ? "met" : "missed");
    std::printf("  GetArchiveInfo, literal build        %8.3f ms  (ratio %.2f; its listing is the same code)\n", ll * 1e3, ll / zf);
    const bool sameListing = fastList.value == literalList.value;
    std::printf("  listings identical between builds: %s\n", sameListing ? "yes" : "NO");

    DeleteFileA(archive);
    return sameBlocks && sameListing ? 0 : 1;
}
