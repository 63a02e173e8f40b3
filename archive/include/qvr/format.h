// The fixed layout of a QVR archive: header, directory entry, and the magic
// that recognises one. Plain constants and one check; no platform headers.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace qvr {

// "QVRd" and a zero byte open every archive.
inline constexpr std::array<std::uint8_t, 5> ArchiveMagic{'Q', 'V', 'R', 'd', 0};

// ArchiveHeader: offsets and sizes of its fields, counted from the archive's
// first byte. Bytes 5 to 31 carry no meaning; readers skip them and the
// writer leaves them zero.
inline constexpr std::size_t MagicOffset = 0;
inline constexpr std::size_t MagicSize = ArchiveMagic.size();
inline constexpr std::size_t EntryCountOffset = 32;
inline constexpr std::size_t HeaderSize = 34;

// The head block an opener reads first: the header plus the longest first
// entry (10 + 255 bytes) fit in it, so the directory's extent is known
// after one read.
inline constexpr std::size_t HeadBlockSize = 306;

// DirectoryEntry: byte 0 carries no meaning, byte 1 is the name length L,
// then L scrambled name bytes, then dataSize and dataOffset (32-bit each).
// Offsets count from the entry's first byte; the name moves the fields after it.
inline constexpr std::size_t EntryNameLengthOffset = 1;
inline constexpr std::size_t EntryNameOffset = 2;
inline constexpr std::size_t EntryDataSizeSize = 4;
inline constexpr std::size_t EntryDataOffsetSize = 4;
constexpr std::size_t EntryDataSizeOffset(std::size_t nameLength) noexcept { return EntryNameOffset + nameLength; }
constexpr std::size_t EntryDataOffsetOffset(std::size_t nameLength) noexcept {
    return EntryDataSizeOffset(nameLength) + EntryDataSizeSize;
}
// The whole entry: where the next one begins.
constexpr std::size_t EntrySize(std::size_t nameLength) noexcept {
    return EntryDataOffsetOffset(nameLength) + EntryDataOffsetSize;
}
inline constexpr std::size_t EntryFixedSize = EntrySize(0);  // everything but the name
static_assert(EntryFixedSize == 10);
inline constexpr std::size_t MaxNameLength = 255;
inline constexpr std::size_t MaxEntrySize = EntryFixedSize + MaxNameLength;
inline constexpr std::size_t MaxEntryCount = 0xFFFF;

// The header fields as a reader sees them.
struct ArchiveHeader {
    std::uint16_t entryCount = 0;
};

// True when the bytes begin with ArchiveMagic. Fewer than five bytes can
// never hold the magic, so they are not an archive.
bool CheckArchiveHeader(std::span<const std::uint8_t> head) noexcept;

// Little-endian loads from a span the caller has already checked is long enough.
inline std::uint16_t LoadU16(std::span<const std::uint8_t, 2> b) noexcept {
    return static_cast<std::uint16_t>(b[0] | (b[1] << 8));
}
inline std::uint32_t LoadU32(std::span<const std::uint8_t, 4> b) noexcept {
    return static_cast<std::uint32_t>(b[0]) | (static_cast<std::uint32_t>(b[1]) << 8) |
           (static_cast<std::uint32_t>(b[2]) << 16) | (static_cast<std::uint32_t>(b[3]) << 24);
}
inline void StoreU16(std::span<std::uint8_t, 2> b, std::uint16_t v) noexcept {
    b[0] = static_cast<std::uint8_t>(v);
    b[1] = static_cast<std::uint8_t>(v >> 8);
}
inline void StoreU32(std::span<std::uint8_t, 4> b, std::uint32_t v) noexcept {
    for (std::size_t i = 0; i < 4; ++i) b[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

}  // namespace qvr
