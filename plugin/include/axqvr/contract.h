// What a host and AXQVR.SPI agree on: the five exports, their arguments,
// the flags word, the result codes and the 428-byte entry record. Hosts
// (tools/host, the plug-in tests) include this to call the DLL through
// GetProcAddress; the DLL includes it to implement the exports.
//
// Every export is stdcall: the caller pushes the arguments last to first
// and the export removes them (16, 24, 20, 12 and 8 bytes on 32-bit).
// Blocks handed to the host are movable local memory blocks, unlocked; the
// host owns them and frees them with LocalFree.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace axqvr {

// The 32-bit signed result of GetArchiveInfo, GetFileInfo and GetFile.
enum class ResultCode : std::int32_t {
    Success = 0,
    Unsupported = 1,         // InputKind or OutputKind out of range, or disk output failed
    UnrecognisedFormat = 2,  // the source does not begin with the archive magic
    EntryNotFound = 3,       // no such entry, or a broken one on the way to it
    AllocFailed = 4,         // no local memory block for the host
    MemoryError = 5,         // a block for the host could not be locked, or no working memory
    OpenFailed = 6,          // the archive file could not be opened
};

// The flags word: InputKind in bits 0-2, IgnoreCase in bit 7 (GetFileInfo),
// OutputKind in bits 8-10 (GetFile). Every other bit is ignored.
inline constexpr std::uint32_t InputKindMask = 0x7;
inline constexpr std::uint32_t IgnoreCaseFlag = 0x80;
inline constexpr unsigned OutputKindShift = 8;
inline constexpr std::uint32_t OutputKindMask = 0x7;

enum class InputKind : std::uint32_t { File = 0, Memory = 1 };
enum class OutputKind : std::uint32_t { Disk = 0, Memory = 1 };

inline constexpr std::uint32_t InputKindOf(std::uint32_t flags) { return flags & InputKindMask; }
inline constexpr std::uint32_t OutputKindOf(std::uint32_t flags) {
    return (flags >> OutputKindShift) & OutputKindMask;
}
inline constexpr bool IgnoreCaseOf(std::uint32_t flags) { return (flags & IgnoreCaseFlag) != 0; }
inline constexpr std::uint32_t MakeFlags(InputKind in, OutputKind out = OutputKind::Disk) {
    return static_cast<std::uint32_t>(in) | (static_cast<std::uint32_t>(out) << OutputKindShift);
}

inline constexpr std::size_t FileNameSize = 200;
inline constexpr std::size_t PathSize = 200;

// One entry as the host sees it: 428 bytes, little-endian, no gaps.
struct FileInfoRecord {
    std::array<std::uint8_t, 8> methodTag;  // "QVRd" and a zero byte; bytes 5-7 not written
    std::uint32_t position;                 // the entry's index in the directory
    std::uint32_t storedSize;
    std::uint32_t extractedSize;            // always equal to storedSize
    std::uint32_t timestamp;                // always 0
    std::array<char, PathSize> path;        // always the empty text
    std::array<char, FileNameSize> fileName;  // descrambled name, at most 199 bytes and a zero
    std::uint32_t crc;                      // always 0
};
static_assert(sizeof(FileInfoRecord) == 428);
static_assert(offsetof(FileInfoRecord, methodTag) == 0);
static_assert(offsetof(FileInfoRecord, position) == 8);
static_assert(offsetof(FileInfoRecord, storedSize) == 12);
static_assert(offsetof(FileInfoRecord, extractedSize) == 16);
static_assert(offsetof(FileInfoRecord, timestamp) == 20);
static_assert(offsetof(FileInfoRecord, path) == 24);
static_assert(offsetof(FileInfoRecord, fileName) == 224);
static_assert(offsetof(FileInfoRecord, crc) == 424);

// A ListingBlock is (entryCount + 1) records; the last is all zero. A
// reader finds its end at the first record whose first byte is 0.
inline constexpr std::size_t ListingBlockSize(std::size_t entryCount) {
    return (entryCount + 1) * sizeof(FileInfoRecord);
}
inline constexpr bool EndsListing(const FileInfoRecord& record) { return record.methodTag[0] == 0; }

// The handle type of local memory, without pulling in the platform header.
using LocalHandle = void*;

// GetFile takes this but never calls it.
using ProgressCallback = std::int32_t(__stdcall*)(std::int32_t, std::int32_t, std::intptr_t);

// The exports as a host sees them through GetProcAddress. `candidate` of
// IsSupported is a file handle when below 0x10000, else an address.
using GetPluginInfoFn = std::int32_t(__stdcall*)(std::int32_t infoNo, char* buf, std::int32_t bufLen);
using IsSupportedFn = std::int32_t(__stdcall*)(const char* candidateName, std::uintptr_t candidate);
using GetArchiveInfoFn = std::int32_t(__stdcall*)(const char* source, std::int32_t length, std::uint32_t flags,
                                                  LocalHandle* listingHandleOut);
using GetFileInfoFn = std::int32_t(__stdcall*)(const char* source, std::int32_t length, const char* entryName,
                                               std::uint32_t flags, FileInfoRecord* record);
using GetFileFn = std::int32_t(__stdcall*)(const char* source, std::int32_t length, LocalHandle* dest,
                                           std::uint32_t flags, ProgressCallback progressCallback,
                                           std::intptr_t callbackData);

}  // namespace axqvr
