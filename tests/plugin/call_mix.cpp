#include "call_mix.h"

#include <cstring>

namespace axqvr::test {
namespace {

constexpr std::uint32_t FromFile = 0;
constexpr std::uint32_t FromMemory = 1;
constexpr std::uint32_t ToDisk = 0;
constexpr std::uint32_t ToMemory = 1u << 8;

// What a host's handle variable holds until a call writes it.
LocalHandle Unwritten() { return reinterpret_cast<LocalHandle>(std::uintptr_t{0x5A5A5A50}); }

// Takes over a block a call handed to the host: digests and frees it.
std::uint64_t TakeBlock(LocalHandle handle, std::uint64_t seed) {
    if (handle == Unwritten()) return seed;
    const auto* p = static_cast<const std::uint8_t*>(LocalLock(handle));
    const std::size_t size = LocalSize(handle);
    const std::uint64_t digest = CallMix::Digest(p, p == nullptr ? 0 : size, seed);
    if (p != nullptr) LocalUnlock(handle);
    LocalFree(handle);
    return digest;
}

CallOutcome Listing(const char* source, std::int32_t length, std::uint32_t flags) {
    LocalHandle slot = Unwritten();
    const auto r = static_cast<std::int32_t>(CallGetArchiveInfo(source, length, flags, &slot));
    return {r, TakeBlock(slot, static_cast<std::uint64_t>(r))};
}

CallOutcome Lookup(const char* source, std::int32_t length, const char* name, std::uint32_t flags) {
    FileInfoRecord record{};
    const auto r = static_cast<std::int32_t>(CallGetFileInfo(source, length, name, flags, &record));
    return {r, CallMix::Digest(&record, sizeof record, static_cast<std::uint64_t>(r))};
}

CallOutcome Extraction(const char* source, std::int32_t length, std::uint32_t flags) {
    LocalHandle slot = Unwritten();
    const auto r = static_cast<std::int32_t>(CallGetFile(source, length, &slot, flags));
    return {r, TakeBlock(slot, static_cast<std::uint64_t>(r))};
}

// Disk output of entry `index` of the mix's archive file: the block left
// in the slot and the file written, which is removed again.
CallOutcome DiskOutput(std::int32_t index, const std::string& name) {
    CallOutcome outcome = Extraction("mix.qvr", index, FromFile | ToDisk);
    if (outcome.result == 0) {
        const Bytes written = ReadFileBytes(name);
        outcome.digest = CallMix::Digest(written.data(), written.size(), outcome.digest);
    }
    return outcome;
}

}  // namespace

std::uint64_t CallMix::Digest(const void* bytes, std::size_t size, std::uint64_t seed) {
    std::uint64_t h = seed;
    const auto* p = static_cast<const std::uint8_t*>(bytes);
    for (std::size_t i = 0; i < size; ++i) h = (h ^ p[i]) * 1099511628211ull;
    return h ^ size;
}

CallMix::CallMix(bool threadSafe) {
    std::vector<qvr::WriterEntry> entries = {
        {Text("leak-a.txt"), Pattern(100, 1)},
        {Text("Leak-B.bin"), Pattern(3000, 2)},
        {Text("empty.out"), {}},
        {Text("..\\mix-escape"), Text("refused on disk")},
        {Text("no-such-folder\\x.txt"), Text("cannot be created")},
    };
    for (int t = 0; t < 8; ++t) entries.push_back({Text("thread-" + std::to_string(t) + ".out"), Pattern(500, static_cast<std::uint8_t>(t))});
    archive_ = Build(entries);
    brokenImage_.assign(archive_.begin(), archive_.begin() + 60);  // inside the second entry
    // The first entry's data offset (its name is 10 bytes long) says the
    // data begin inside the header: no directory can be had.
    Bytes lowOffset = archive_;
    qvr::StoreU32(std::span(lowOffset).subspan(qvr::HeaderSize + qvr::EntryDataOffsetOffset(10)).first<4>(), 20);
    Bytes huge = Build({{Text("huge"), Text("a few bytes")}});
    qvr::StoreU32(std::span(huge).subspan(qvr::HeaderSize + qvr::EntryDataSizeOffset(4)).first<4>(), 0xFFFFFFF0u);

    const std::vector<std::pair<std::string, Bytes>> files = {
        {"mix.qvr", archive_},
        {"held.qvr", archive_},
        {"broken.qvr", brokenImage_},
        {"low-offset.qvr", lowOffset},
        {"cut-data.qvr", Bytes(archive_.begin(), archive_.end() - 100)},
        {"huge.qvr", huge},
        {"not-an-archive.bin", Bytes(4000, 'x')},
    };
    for (const auto& [name, bytes] : files) {
        WriteFileBytes(name, bytes);
        files_.push_back(name);
    }
    // Held open for writing by another handle: the plug-in cannot share it.
    heldForWriting_ = CreateFileA("held.qvr", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, 0, nullptr);

    const auto pagesFor = [](std::size_t bytes) { return (bytes + PageSize() - 1) / PageSize(); };
    imageMemory_ = std::make_unique<GuardedMemory>(pagesFor(archive_.size()), 1);
    brokenMemory_ = std::make_unique<GuardedMemory>(pagesFor(brokenImage_.size()), 1);
    const char* image = AsSource(imageMemory_->PlaceAtEnd(archive_));
    const char* broken = AsSource(brokenMemory_->PlaceAtEnd(brokenImage_));
    const auto brokenLength = static_cast<std::int32_t>(brokenImage_.size());
    const auto last = static_cast<std::int32_t>(entries.size() - 1);

    for (const std::int32_t infoNo : {-1, 0, 1, 2, 3, 4}) {
        Add("GetPluginInfo " + std::to_string(infoNo), [infoNo] {
            char text[64] = {};
            const std::int32_t n = CallGetPluginInfo(infoNo, text, sizeof text);
            return CallOutcome{n, Digest(text, sizeof text)};
        });
    }
    Add("GetPluginInfo, no room", [] {
        char text[4] = {'k', 'e', 'e', 'p'};
        return CallOutcome{CallGetPluginInfo(1, text, 0), Digest(text, sizeof text)};
    });
    Add("IsSupported, image", [image] { return CallOutcome{CallIsSupported("mix.qvr", reinterpret_cast<std::uintptr_t>(image)), 0}; });
    Add("IsSupported, file handle", [] {
        HANDLE file = CreateFileA("mix.qvr", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        const std::int32_t r = CallIsSupported("mix.qvr", reinterpret_cast<std::uintptr_t>(file));
        CloseHandle(file);
        return CallOutcome{r, 0};
    });
    Add("IsSupported, not an archive", [] {
        HANDLE file = CreateFileA("not-an-archive.bin", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        const std::int32_t r = CallIsSupported("not-an-archive.bin", reinterpret_cast<std::uintptr_t>(file));
        CloseHandle(file);
        return CallOutcome{r, 0};
    });

    Add("list the file", [] { return Listing("mix.qvr", 0, FromFile); });
    Add("list the image", [image] { return Listing(image, 0, FromMemory); });
    Add("list a missing file", [] { return Listing("no-such.qvr", 0, FromFile); });
    Add("list a file held open for writing", [] { return Listing("held.qvr", 0, FromFile); });
    Add("list a non-archive", [] { return Listing("not-an-archive.bin", 0, FromFile); });
    Add("list a broken directory", [] { return Listing("broken.qvr", 0, FromFile); });
    Add("list a broken image", [broken, brokenLength] { return Listing(broken, brokenLength, FromMemory); });
    Add("list with data below the header", [] { return Listing("low-offset.qvr", 0, FromFile); });
    Add("list, input kind 2", [] { return Listing("mix.qvr", 0, 2); });

    Add("look up in the file", [] { return Lookup("mix.qvr", 0, "Leak-B.bin", FromFile); });
    Add("look up in the image, any case", [image] { return Lookup(image, 0, "LEAK-b.BIN", FromMemory | IgnoreCaseFlag); });
    Add("look up a missing name", [image] { return Lookup(image, 0, "nowhere", FromMemory); });
    Add("look up in a missing file", [] { return Lookup("no-such.qvr", 0, "leak-a.txt", FromFile); });
    Add("look up in a broken directory", [] { return Lookup("broken.qvr", 0, "nowhere", FromFile); });
    Add("look up, input kind 5", [] { return Lookup("mix.qvr", 0, "leak-a.txt", 5); });

    Add("extract from the file", [] { return Extraction("mix.qvr", 1, FromFile | ToMemory); });
    Add("extract from the image", [image] { return Extraction(image + 1, 0, FromMemory | ToMemory); });
    Add("extract the last entry from the image", [image, last] { return Extraction(image + last, 0, FromMemory | ToMemory); });
    Add("extract an empty entry to memory", [] { return Extraction("mix.qvr", 2, FromFile | ToMemory); });
    Add("extract past the last entry", [] { return Extraction("mix.qvr", 99, FromFile | ToMemory); });
    Add("extract from a file that ends inside the entry", [last] { return Extraction("cut-data.qvr", last, FromFile | ToMemory); });
    Add("extract from a missing file", [] { return Extraction("no-such.qvr", 0, FromFile | ToMemory); });
    Add("extract from a non-archive", [] { return Extraction("not-an-archive.bin", 0, FromFile | ToMemory); });
    Add("extract from a broken image", [broken] { return Extraction(broken + 1, 0, FromMemory | ToMemory); });
    Add("extract, output kind 3", [image] { return Extraction(image, 0, FromMemory | (3u << 8)); });
    Add("extract, input kind 3", [] { return Extraction("mix.qvr", 0, 3 | ToMemory); });
    Add("extract a climbing name to disk", [] { return Extraction("mix.qvr", 3, FromFile | ToDisk); });
    Add("extract into a missing folder", [image] { return Extraction(image + 4, 0, FromMemory | ToDisk); });
    // Only a 32-bit process surely finds no block of 4 GiB.
    if (sizeof(void*) == 4) Add("extract an entry too large for memory", [] { return Extraction("huge.qvr", 0, FromFile | ToMemory); });
    if (!threadSafe) {
        Add("extract to disk", [] { return DiskOutput(0, "leak-a.txt"); });
        Add("extract an empty entry to disk", [] { return DiskOutput(2, "empty.out"); });
    }
}

CallMix::~CallMix() { RemoveFiles(); }

MixedCall CallMix::DiskOutputFor(int thread) const {
    const std::string name = "thread-" + std::to_string(thread) + ".out";
    return {"extract " + name + " to disk", [thread, name] { return DiskOutput(5 + thread, name); }};
}

bool CallMix::RemoveFiles() {
    if (heldForWriting_ != INVALID_HANDLE_VALUE) CloseHandle(heldForWriting_);
    heldForWriting_ = INVALID_HANDLE_VALUE;
    bool all = true;
    for (const auto& name : files_) all = DeleteFileA(name.c_str()) && all;
    files_.clear();
    return all;
}

}  // namespace axqvr::test
