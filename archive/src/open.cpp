#include "qvr/open.h"

#include <algorithm>
#include <new>

#include "qvr/window_walk.h"

namespace qvr {
namespace {

// The directory is read in pieces of this size, so that a forged extent
// costs memory only for the bytes that really exist.
constexpr std::size_t DirectoryChunk = std::size_t{1} << 20;

// Reads up to `wanted` bytes at `offset`, stopping at the first short read.
bool ReadDirectory(ByteSource& source, std::uint64_t offset, std::uint64_t wanted,
                   std::vector<std::uint8_t>& out) {
    try {
        out.clear();
        if (const auto size = source.KnownSize()) {
            wanted = std::min(wanted, *size > offset ? *size - offset : 0);
            out.reserve(static_cast<std::size_t>(wanted));
        }
        while (out.size() < wanted) {
            const std::size_t piece =
                static_cast<std::size_t>(std::min<std::uint64_t>(DirectoryChunk, wanted - out.size()));
            const std::size_t had = out.size();
            out.resize(had + piece);
            const std::size_t got = source.ReadAt(offset + had, std::span(out).subspan(had, piece));
            out.resize(had + std::min(got, piece));
            if (got < piece) break;
        }
        out.shrink_to_fit();
        return true;
    } catch (const std::bad_alloc&) {
        out = {};
        return false;
    }
}

}  // namespace

std::size_t SpanByteSource::ReadAt(std::uint64_t offset, std::span<std::uint8_t> into) {
    if (offset >= bytes_.size()) return 0;
    const auto from = bytes_.subspan(static_cast<std::size_t>(offset));
    const std::size_t n = std::min(from.size(), into.size());
    std::copy_n(from.begin(), n, into.begin());
    return n;
}

namespace {

// What the head block tells: the entry count and how many directory bytes
// the walk may need. A short head holds only the bytes that exist.
struct HeadFacts {
    OpenStatus status = OpenStatus::Success;
    ArchiveHeader header;
    std::uint64_t directoryExtent = 0;
};

HeadFacts ReadHead(std::span<const std::uint8_t> head) noexcept {
    HeadFacts facts;
    if (!CheckArchiveHeader(head) || head.size() < HeaderSize) {
        facts.status = OpenStatus::UnrecognisedFormat;
        return facts;
    }
    facts.header.entryCount = LoadU16(head.subspan(EntryCountOffset).first<2>());
    if (facts.header.entryCount == 0) return facts;  // no first entry to read

    // The first entry says where the data begin, and so where the directory
    // ends. If the head holds no complete first entry, the directory is
    // empty and the walk refuses its first entry.
    const auto firstEntry = PeekEntry(DirectoryCursor{head.subspan(HeaderSize), 0, 0});
    if (!firstEntry) return facts;
    if (firstEntry->dataOffset < HeaderSize) {
        facts.status = OpenStatus::DamagedDirectory;
        return facts;
    }
    // Entries past entryCount are never walked, so no more than the longest
    // possible entries can matter.
    facts.directoryExtent = std::min<std::uint64_t>(firstEntry->dataOffset - HeaderSize,
                                                    std::uint64_t{facts.header.entryCount} * MaxEntrySize);
    return facts;
}

}  // namespace

OpenStatus OpenArchiveFile(ByteSource& source, std::uint64_t archiveOffset, OpenedArchive& out) {
    std::array<std::uint8_t, HeadBlockSize> headBlock{};
    const std::size_t got = source.ReadAt(archiveOffset, headBlock);
    const auto facts = ReadHead(std::span<const std::uint8_t>(headBlock).first(std::min(got, headBlock.size())));
    if (facts.status != OpenStatus::Success) return facts.status;

    OpenedArchive opened;
    opened.header = facts.header;
    if (!ReadDirectory(source, archiveOffset + HeaderSize, facts.directoryExtent, opened.directoryBuffer))
        return OpenStatus::OutOfMemory;
    opened.directory = opened.directoryBuffer;
    out = std::move(opened);
    return OpenStatus::Success;
}

namespace {

// ReadEntryAt's window is on the stack and read in pieces of this size,
// each after the part of an entry that the last piece cut. A fresh heap
// block per call would cost more than the reads: its pages are new.
// Each read has a fixed cost beside the copy (under Wine, about what
// copying 64 KiB costs), so the pieces are as large as a thread's stack
// can spare: a host's thread has a megabyte, and a far entry then takes
// half as many reads as in 32 KiB pieces.
constexpr std::size_t PieceSize = std::size_t{64} << 10;

}  // namespace

WindowWalk::WindowWalk(ByteSource& source, std::uint64_t archiveOffset, std::span<std::uint8_t> window,
                       std::size_t firstRead)
    : source_(source), directoryAt_(archiveOffset + HeaderSize), window_(window) {
    // The head and the directory's start come in one read. Only bytes a
    // read has delivered are ever looked at: the window is never cleared.
    const std::size_t piece = std::min(window.size() - MaxEntrySize, std::max(firstRead, HeadBlockSize));
    const std::size_t got = std::min(source.ReadAt(archiveOffset, window.first(piece)), piece);
    const auto facts = ReadHead(std::span<const std::uint8_t>(window.first(std::min(got, HeadBlockSize))));
    status_ = facts.status;
    header_ = facts.header;
    extent_ = status_ == OpenStatus::Success ? facts.directoryExtent : 0;
    ended_ = got < piece;
    const auto held =
        static_cast<std::size_t>(std::min<std::uint64_t>(extent_, got > HeaderSize ? got - HeaderSize : 0));
    std::copy_n(window.begin() + static_cast<std::ptrdiff_t>(std::min(got, HeaderSize)), held, window.begin());
    cursor_ = DirectoryCursor{std::span<const std::uint8_t>(window.first(held)), 0, 0};
}

bool WindowWalk::Refill() {
    const std::size_t held = cursor_.directory.size();
    if (ended_ || windowStart_ + held >= extent_) return false;
    // The cursor stands on an entry the window does not hold whole, so
    // what is kept is less than one entry.
    const std::size_t kept = held - cursor_.offset;
    std::copy(window_.begin() + static_cast<std::ptrdiff_t>(cursor_.offset),
              window_.begin() + static_cast<std::ptrdiff_t>(held), window_.begin());
    windowStart_ += cursor_.offset;
    const auto want = static_cast<std::size_t>(
        std::min<std::uint64_t>(window_.size() - MaxEntrySize, extent_ - (windowStart_ + kept)));
    const std::size_t more =
        std::min(source_.ReadAt(directoryAt_ + windowStart_ + kept, window_.subspan(kept, want)), want);
    ended_ = more < want;
    cursor_ = DirectoryCursor{std::span<const std::uint8_t>(window_.first(kept + more)), 0, cursor_.index};
    return more > 0;
}

std::optional<DirectoryEntry> WindowWalk::PeekAfterRefills() {
    while (Refill()) {
        if (auto entry = PeekEntry(cursor_)) {
            peeked_ = EntrySize(entry->nameLength);
            return entry;
        }
    }
    return std::nullopt;
}

bool WindowWalk::Next(Entry& out) {
    peeked_ = 0;
    for (;;) {
        if (ReadNextEntry(cursor_, out)) return true;
        if (!Refill()) return false;
    }
}

bool WindowWalk::Skip(std::uint32_t count) {
    peeked_ = 0;
    const std::uint64_t target = std::uint64_t{cursor_.index} + count;
    for (;;) {
        if (SkipEntries(cursor_, static_cast<std::uint32_t>(target - cursor_.index))) return true;
        if (!Refill()) return false;
    }
}

OpenStatus ReadEntryAt(ByteSource& source, std::uint64_t archiveOffset, std::uint32_t index,
                       std::optional<Entry>& out) {
    out.reset();
    std::array<std::uint8_t, MaxEntrySize + PieceSize> window;
    WindowWalk walk(source, archiveOffset, window);
    if (walk.Status() != OpenStatus::Success || index >= walk.Header().entryCount) return walk.Status();
    Entry entry;
    if (walk.Skip(index) && walk.Next(entry)) out = entry;
    return OpenStatus::Success;
}

OpenStatus OpenArchiveView(std::span<const std::uint8_t> file, std::uint64_t archiveOffset,
                           OpenedArchive& out) noexcept {
    if (archiveOffset > file.size()) return OpenStatus::UnrecognisedFormat;
    const auto archive = file.subspan(static_cast<std::size_t>(archiveOffset));
    const auto facts = ReadHead(archive.first(std::min(archive.size(), HeadBlockSize)));
    if (facts.status != OpenStatus::Success) return facts.status;

    OpenedArchive opened;
    opened.header = facts.header;
    const auto afterHeader = archive.subspan(HeaderSize);
    opened.directory = afterHeader.first(static_cast<std::size_t>(
        std::min<std::uint64_t>(facts.directoryExtent, afterHeader.size())));
    out = std::move(opened);
    return OpenStatus::Success;
}

OpenStatus OpenArchiveImage(std::span<const std::uint8_t> image, OpenedArchive& out) noexcept {
    if (!CheckArchiveHeader(image) || image.size() < HeaderSize) return OpenStatus::UnrecognisedFormat;
    OpenedArchive opened;
    opened.header.entryCount = LoadU16(image.subspan(EntryCountOffset).first<2>());
    opened.directory = image.subspan(HeaderSize);
    out = std::move(opened);
    return OpenStatus::Success;
}

std::optional<std::span<const std::uint8_t>> EntryData(std::span<const std::uint8_t> image,
                                                       std::uint32_t dataOffset,
                                                       std::uint32_t dataSize) noexcept {
    if (dataOffset > image.size() || dataSize > image.size() - dataOffset) return std::nullopt;
    return image.subspan(dataOffset, dataSize);
}

}  // namespace qvr
