#include "qvr/directory.h"

#include <algorithm>

#include "qvr/scramble.h"

namespace qvr {

std::span<const std::uint8_t> Entry::NameText() const noexcept {
    const auto bytes = NameBytes();
    const auto end = std::find(bytes.begin(), bytes.end(), std::uint8_t{0});
    return bytes.first(static_cast<std::size_t>(end - bytes.begin()));
}

std::optional<DirectoryEntry> PeekEntry(const DirectoryCursor& cursor) noexcept {
    if (cursor.offset > cursor.directory.size()) return std::nullopt;
    const auto rest = cursor.directory.subspan(cursor.offset);
    if (rest.size() < EntryFixedSize) return std::nullopt;
    const std::size_t nameLength = rest[EntryNameLengthOffset];
    if (rest.size() < EntryFixedSize + nameLength) return std::nullopt;

    const std::size_t sizeAt = EntryNameOffset + nameLength;
    DirectoryEntry entry;
    entry.nameLength = static_cast<std::uint8_t>(nameLength);
    entry.scrambledName = rest.subspan(EntryNameOffset, nameLength);
    entry.dataSize = LoadU32(rest.subspan(sizeAt).first<4>());
    entry.dataOffset = LoadU32(rest.subspan(sizeAt + 4).first<4>());
    return entry;
}

bool ReadNextEntry(DirectoryCursor& cursor, Entry& out) noexcept {
    const auto stored = PeekEntry(cursor);
    if (!stored) return false;

    out.index = cursor.index;
    out.nameLength = stored->nameLength;
    out.name.fill(0);
    std::copy(stored->scrambledName.begin(), stored->scrambledName.end(), out.name.begin());
    DescrambleName(std::span(out.name).first(stored->nameLength));
    out.dataSize = stored->dataSize;
    out.dataOffset = stored->dataOffset;

    cursor.offset += EntryFixedSize + stored->nameLength;
    ++cursor.index;
    return true;
}

bool SkipEntry(DirectoryCursor& cursor) noexcept {
    const auto stored = PeekEntry(cursor);
    if (!stored) return false;
    cursor.offset += EntryFixedSize + stored->nameLength;
    ++cursor.index;
    return true;
}

bool SkipEntries(DirectoryCursor& cursor, std::uint32_t count) noexcept {
    const auto directory = cursor.directory;
    std::size_t offset = cursor.offset;
    std::uint32_t passed = 0;
    bool whole = true;
    for (; passed < count; ++passed) {
        // Both the fixed part and the name must lie inside the directory.
        if (offset > directory.size() || directory.size() - offset < EntryFixedSize) {
            whole = false;
            break;
        }
        const std::size_t size = EntryFixedSize + directory[offset + EntryNameLengthOffset];
        if (directory.size() - offset < size) {
            whole = false;
            break;
        }
        offset += size;
    }
    cursor.offset = offset;
    cursor.index += passed;
    return whole;
}

}  // namespace qvr
