// Opening an archive: from any readable byte source (a file at some offset)
// or from an image already in memory. Both give the entry count and a
// directory view that bounds the walk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "qvr/directory.h"
#include "qvr/format.h"

namespace qvr {

// Reads bytes at an absolute position. Returns how many came: fewer than
// asked means the source ends there (or cannot be read further), and the
// missing bytes are treated as not existing.
class ByteSource {
public:
    virtual ~ByteSource() = default;
    virtual std::size_t ReadAt(std::uint64_t offset, std::span<std::uint8_t> into) = 0;
    // The source's size, where it knows it: readers then allocate once, at
    // most what exists, instead of growing a buffer piece by piece.
    virtual std::optional<std::uint64_t> KnownSize() const noexcept { return std::nullopt; }
};

// A byte source over memory the caller owns (tests, mapped files).
class SpanByteSource final : public ByteSource {
public:
    explicit SpanByteSource(std::span<const std::uint8_t> bytes) noexcept : bytes_(bytes) {}
    std::size_t ReadAt(std::uint64_t offset, std::span<std::uint8_t> into) override;
    std::optional<std::uint64_t> KnownSize() const noexcept override { return bytes_.size(); }

private:
    std::span<const std::uint8_t> bytes_;
};

enum class OpenStatus {
    Success,
    UnrecognisedFormat,  // no ArchiveMagic, or a header cut short
    DamagedDirectory,    // the first entry's data offset lies inside the header: no directory fits
    OutOfMemory,         // the directory could not be held in memory
};

// An opened archive. For a file source it owns a copy of the directory; for
// an image it views the caller's bytes, which must outlive it.
struct OpenedArchive {
    ArchiveHeader header;
    std::vector<std::uint8_t> directoryBuffer;
    std::span<const std::uint8_t> directory;  // what a walk may read

    OpenedArchive() = default;
    OpenedArchive(OpenedArchive&&) noexcept = default;
    OpenedArchive& operator=(OpenedArchive&&) noexcept = default;
    OpenedArchive(const OpenedArchive&) = delete;
    OpenedArchive& operator=(const OpenedArchive&) = delete;

    DirectoryCursor Begin() const noexcept { return DirectoryCursor{directory, 0, 0}; }
};

// Reads the head block at `archiveOffset`, then the directory extent (the
// first entry's dataOffset minus 34) that follows the header. Short reads
// shorten what the walk may see; an archive with no entries opens empty
// without reading a first entry.
OpenStatus OpenArchiveFile(ByteSource& source, std::uint64_t archiveOffset, OpenedArchive& out);

// Reads the head at `archiveOffset`, then the directory in bounded pieces
// and only as far as entry `index`, passing the entries before it without
// decoding their names. Gives what OpenArchiveFile and a walk to `index`
// give: the status of the opening and, on Success, the entry in `out`, or
// nothing when `index` is not below the entry count or the directory ends
// before the entry does. Memory use is bounded whatever the directory's size.
OpenStatus ReadEntryAt(ByteSource& source, std::uint64_t archiveOffset, std::uint32_t index,
                       std::optional<Entry>& out);

// The same rules as OpenArchiveFile over a file's bytes already in memory
// (a mapped file): the directory is viewed in place, not copied, and only
// the pages a walk touches are ever read.
OpenStatus OpenArchiveView(std::span<const std::uint8_t> file, std::uint64_t archiveOffset,
                           OpenedArchive& out) noexcept;

// Views an image in place; the directory is everything after the header
// that the span holds.
OpenStatus OpenArchiveImage(std::span<const std::uint8_t> image, OpenedArchive& out) noexcept;

// The entry's data inside an image, or nothing if any of it lies outside.
std::optional<std::span<const std::uint8_t>> EntryData(std::span<const std::uint8_t> image,
                                                       std::uint32_t dataOffset,
                                                       std::uint32_t dataSize) noexcept;

}  // namespace qvr
