#include "qvr/open.h"

#include <algorithm>
#include <new>

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

// The directory is read in pieces of this size into one window on the
// stack, each after the part of an entry that the last piece cut. A fresh
// heap block per call would cost more than the reads: its pages are new.
// Each read has a fixed cost beside the copy (under Wine, about what
// copying 64 KiB costs), so the pieces are as large as a thread's stack
// can spare: a host's thread has a megabyte, and a far entry then takes
// half as many reads as in 32 KiB pieces.
constexpr std::size_t PieceSize = std::size_t{64} << 10;

}  // namespace

OpenStatus ReadEntryAt(ByteSource& source, std::uint64_t archiveOffset, std::uint32_t index,
                       std::optional<Entry>& out) {
    out.reset();
    // Never zero-filled: only bytes a read has delivered are ever looked at.
    std::array<std::uint8_t, MaxEntrySize + PieceSize> buffer;
    const std::span<std::uint8_t> window(buffer);
    const std::size_t got = source.ReadAt(archiveOffset, window.first(PieceSize));
    const auto first = std::span<const std::uint8_t>(window.first(got));
    const auto facts = ReadHead(first.first(std::min(got, HeadBlockSize)));
    if (facts.status != OpenStatus::Success) return facts.status;
    if (index >= facts.header.entryCount) return OpenStatus::Success;

    // The window holds directory bytes [windowStart, windowStart + held);
    // the directory ends at `extent` or where a read first comes up short.
    const std::uint64_t extent = facts.directoryExtent;
    bool sourceEnded = got < PieceSize;
    std::size_t held = static_cast<std::size_t>(
        std::min<std::uint64_t>(extent, got > HeaderSize ? got - HeaderSize : 0));
    std::copy_n(window.begin() + static_cast<std::ptrdiff_t>(std::min(got, HeaderSize)), held, window.begin());
    std::uint64_t windowStart = 0;
    std::uint32_t passed = 0;

    for (;;) {
        DirectoryCursor cursor{std::span<const std::uint8_t>(window.first(held)), 0, passed};
        Entry entry;
        if (SkipEntries(cursor, index - passed) && ReadNextEntry(cursor, entry)) {
            out = entry;
            return OpenStatus::Success;
        }
        // The cursor stands on the entry that the window does not hold whole.
        const bool directoryEnded = sourceEnded || windowStart + held >= extent;
        if (directoryEnded) return OpenStatus::Success;

        const std::size_t kept = held - cursor.offset;  // less than one entry
        std::copy(window.begin() + static_cast<std::ptrdiff_t>(cursor.offset),
                  window.begin() + static_cast<std::ptrdiff_t>(held), window.begin());
        windowStart += cursor.offset;
        passed = cursor.index;
        const std::size_t want = static_cast<std::size_t>(
            std::min<std::uint64_t>(PieceSize, extent - (windowStart + kept)));
        const std::size_t more =
            source.ReadAt(archiveOffset + HeaderSize + windowStart + kept, window.subspan(kept, want));
        sourceEnded = more < want;
        held = kept + std::min(more, want);
    }
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
