// Walking the directory: entries are variable-length and back to back, so
// entry n is reached only by passing over entries 0 to n-1. A cursor knows
// where its directory ends; an entry that would run past that end is
// refused, never read.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "qvr/format.h"

namespace qvr {

// One directory entry as stored. The name is a view into the directory,
// still scrambled.
struct DirectoryEntry {
    std::uint8_t nameLength = 0;
    std::span<const std::uint8_t> scrambledName;
    std::uint32_t dataSize = 0;
    std::uint32_t dataOffset = 0;
};

// An entry decoded for use: its plain name bytes, its size and where its
// data lie (counted from the archive's first byte).
struct Entry {
    std::uint32_t index = 0;
    std::uint8_t nameLength = 0;
    std::array<std::uint8_t, MaxNameLength + 1> name{};  // always zero after the name
    std::uint32_t dataSize = 0;
    std::uint32_t dataOffset = 0;

    // All stored name bytes, descrambled.
    std::span<const std::uint8_t> NameBytes() const noexcept { return {name.data(), nameLength}; }
    // The name as a host sees it: the bytes before the first zero byte.
    std::span<const std::uint8_t> NameText() const noexcept;
};

// A position in a directory held in memory. Only the entry readers move it,
// always forward by one whole entry.
struct DirectoryCursor {
    std::span<const std::uint8_t> directory;  // everything the walk may read
    std::size_t offset = 0;                   // bytes already passed
    std::uint32_t index = 0;                  // entries already passed
};

// The stored entry under the cursor, if all of it lies inside the directory.
// Here, not in a source file, since every walk asks it once an entry.
inline std::optional<DirectoryEntry> PeekEntry(const DirectoryCursor& cursor) noexcept {
    if (cursor.offset > cursor.directory.size()) return std::nullopt;
    const auto rest = cursor.directory.subspan(cursor.offset);
    if (rest.size() < EntryFixedSize) return std::nullopt;
    const std::size_t nameLength = rest[EntryNameLengthOffset];
    if (rest.size() < EntrySize(nameLength)) return std::nullopt;

    DirectoryEntry entry;
    entry.nameLength = static_cast<std::uint8_t>(nameLength);
    entry.scrambledName = rest.subspan(EntryNameOffset, nameLength);
    entry.dataSize = LoadU32(rest.subspan(EntryDataSizeOffset(nameLength)).first<EntryDataSizeSize>());
    entry.dataOffset = LoadU32(rest.subspan(EntryDataOffsetOffset(nameLength)).first<EntryDataOffsetSize>());
    return entry;
}

// Decodes the entry under the cursor into `out` (name descrambled) and
// advances past it. False, with neither `out` nor the cursor changed, when
// the entry would run past the directory's end.
bool ReadNextEntry(DirectoryCursor& cursor, Entry& out) noexcept;

// Advances past the entry under the cursor without decoding its name; the
// same refusal as ReadNextEntry.
bool SkipEntry(DirectoryCursor& cursor) noexcept;

// SkipEntry `count` times, reading only each entry's name length: the walk
// to a far entry costs a few instructions per entry passed. False when an
// entry would run past the directory's end; the cursor then stands on it,
// as after the SkipEntry calls that succeeded.
bool SkipEntries(DirectoryCursor& cursor, std::uint32_t count) noexcept;

// How far a walk of the whole directory got: every entry the header counts,
// or those before the entry that runs past the directory's end.
struct DirectoryWalk {
    std::uint32_t count = 0;   // entries the header counts
    std::uint32_t walked = 0;  // entries read whole, in order

    bool Complete() const noexcept { return walked >= count; }
    // Entries from the one the directory ends inside to the last.
    std::uint32_t Unread() const noexcept { return Complete() ? 0 : count - walked; }
};

// "the directory ends inside entry N" for a walk that stopped short; empty
// for a complete one.
std::string WhereDirectoryEnds(const DirectoryWalk& walk);

}  // namespace qvr
