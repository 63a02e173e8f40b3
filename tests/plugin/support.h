// What the plug-in tests share: archives made by the writer, files in the
// scratch directory, the host's view of a block it received, and the
// archive core's own reading of an archive to compare the plug-in with.
#pragma once

#include <cstdint>
#include <ostream>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include <windows.h>

#include "axqvr/contract.h"
#include "plugin_api.h"
#include "qvr/archive.h"

namespace axqvr {

// Result codes print by name in failure messages.
void PrintTo(ResultCode code, std::ostream* out);

namespace test {

// Where the bundled samples are (--samples=DIR); empty when not given.
std::string& SamplesDirectory();

using Bytes = std::vector<std::uint8_t>;

Bytes Text(std::string_view s);
Bytes Pattern(std::size_t n, std::uint8_t seed);
Bytes Numbered(const char* prefix, std::size_t n);  // prefix and n in decimal
Bytes Build(const std::vector<qvr::WriterEntry>& entries);

// A mix the listing and the extraction must both get right: empty and
// long names, a name holding a zero byte, sizes around the 50 scrambled bytes.
std::vector<qvr::WriterEntry> VariedEntries();

// Files in the scratch directory (the tests' current directory).
void WriteFileBytes(const std::string& path, std::span<const std::uint8_t> bytes);
Bytes ReadFileBytes(const std::string& path);
bool FileExists(const std::string& path);
void RemoveFile(const std::string& path);

// A block handed to the test as to a host: freed when this goes.
class ReceivedBlock {
public:
    ReceivedBlock() = default;
    ~ReceivedBlock();
    ReceivedBlock(const ReceivedBlock&) = delete;
    ReceivedBlock& operator=(const ReceivedBlock&) = delete;

    // Where the plug-in stores the handle.
    LocalHandle* Slot() { return &handle_; }
    LocalHandle Handle() const { return handle_; }
    // Its size, whether it came unlocked, and its bytes (locked and unlocked again).
    std::size_t Size() const;
    bool Unlocked() const;
    Bytes Contents() const;
    std::vector<FileInfoRecord> Records() const;

private:
    LocalHandle handle_ = nullptr;
};

// A value no plug-in would store, to show a slot was left alone.
inline LocalHandle Untouched() { return reinterpret_cast<LocalHandle>(std::uintptr_t{0x5A5A5A50}); }

// The record the host should see for an entry, from the archive core's walk.
FileInfoRecord ExpectedRecord(const qvr::Entry& entry, std::uint32_t index);
std::vector<qvr::Entry> CoreEntries(std::span<const std::uint8_t> image);

// Byte-for-byte record comparison with a readable message.
::testing::AssertionResult SameRecord(const FileInfoRecord& actual, const FileInfoRecord& expected);

// Memory the test lays out page by page: one reserved page, then
// `committed` readable pages, then `reservedPages` reserved ones, so a read
// before or past the readable pages would fault.
class GuardedMemory {
public:
    GuardedMemory(std::size_t committedPages, std::size_t reservedPages);
    ~GuardedMemory();
    GuardedMemory(const GuardedMemory&) = delete;
    GuardedMemory& operator=(const GuardedMemory&) = delete;
    std::uint8_t* Begin() const { return base_; }
    std::uint8_t* End() const { return base_ + committed_; }  // first byte that cannot be read
    // Places `bytes` so that they end exactly where readable memory ends.
    std::uint8_t* PlaceAtEnd(std::span<const std::uint8_t> bytes) const;

private:
    std::uint8_t* reservation_ = nullptr;
    std::uint8_t* base_ = nullptr;
    std::size_t committed_ = 0;
};

std::size_t PageSize();

inline std::uint32_t FileSource(OutputKind out = OutputKind::Memory) { return MakeFlags(InputKind::File, out); }
inline std::uint32_t MemorySource(OutputKind out = OutputKind::Memory) { return MakeFlags(InputKind::Memory, out); }
inline const char* AsSource(const std::uint8_t* p) { return reinterpret_cast<const char*>(p); }

}  // namespace test
}  // namespace axqvr
