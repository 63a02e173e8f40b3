// Writing archives: the directory directly after the header, the data
// directly after the directory, names and the first 50 bytes of each
// entry's data scrambled. Header bytes 5 to 31 and each entry's first byte
// are zero.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace qvr {

// What the writer needs to lay an entry out: its plain name and data size.
struct EntrySpec {
    std::span<const std::uint8_t> name;
    std::uint64_t size = 0;
};

// Header and directory bytes, ready to write, and where each entry's data go.
struct ArchiveLayout {
    std::vector<std::uint8_t> headAndDirectory;
    std::vector<std::uint32_t> dataOffsets;
    std::uint64_t totalSize = 0;
};

// Either a layout or a message that says why none can be made.
struct LayoutResult {
    ArchiveLayout layout;
    std::string error;
    bool ok() const noexcept { return error.empty(); }
};

// Which of the format's limits a set of entries goes past.
enum class LayoutRefusal {
    None,
    TooManyEntries,      // more than MaxEntryCount
    NameTooLong,         // a name longer than MaxNameLength
    DataTooLarge,        // an entry's size does not fit 32 bits
    DataPastAddressable, // an entry's data would start past what 32-bit offsets reach
};

struct LayoutCheck {
    LayoutRefusal refusal = LayoutRefusal::None;
    std::size_t entry = 0;  // the first entry past a limit
    std::uint64_t value = 0;  // its name length, size or data offset
    bool ok() const noexcept { return refusal == LayoutRefusal::None; }
};

// The format's limits, checked once for every writer: the count, then
// every name, then each entry's size and where its data would start, in
// directory order.
LayoutCheck CheckLayout(std::span<const EntrySpec> entries) noexcept;

// Refuses what CheckLayout refuses: more than 65535 entries, a name longer
// than 255 bytes, and any size or data offset that does not fit 32 bits.
LayoutResult PlanArchive(std::span<const EntrySpec> entries);

// A whole entry in memory.
struct WriterEntry {
    std::vector<std::uint8_t> name;
    std::vector<std::uint8_t> content;
};

struct ArchiveBytes {
    std::vector<std::uint8_t> bytes;
    std::string error;
    bool ok() const noexcept { return error.empty(); }
};

// A complete archive in memory; on refusal, no bytes and the message.
ArchiveBytes WriteArchive(std::span<const WriterEntry> entries);

// Scrambles the leading bytes of an entry's data in place, as stored.
void ScrambleContent(std::span<std::uint8_t> content) noexcept;

}  // namespace qvr
