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

// Refuses more than 65535 entries, a name longer than 255 bytes, and any
// size or data offset that does not fit 32 bits.
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
