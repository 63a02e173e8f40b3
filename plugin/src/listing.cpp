#include <cstddef>
#include <cstring>

#include "archive_source.h"
#include "host_block.h"
#include "plugin.h"
#include "qvr/format.h"
#include "qvr/scramble.h"

namespace axqvr {
namespace {

void StoreField(std::uint8_t* record, std::size_t offset, std::uint32_t value) noexcept {
    std::memcpy(record + offset, &value, sizeof value);
}

// What FillRecord and the position of a listing make of an entry, written
// into a zero-filled record: the magic, the index, both sizes and the name
// up to its first zero byte (at most 199 bytes, so a zero always follows).
void WriteListingRecord(const qvr::DirectoryEntry& entry, std::uint32_t index, std::uint8_t* record) noexcept {
    std::memcpy(record + offsetof(FileInfoRecord, methodTag), qvr::ArchiveMagic.data(), qvr::ArchiveMagic.size());
    StoreField(record, offsetof(FileInfoRecord, position), index);
    StoreField(record, offsetof(FileInfoRecord, storedSize), entry.dataSize);
    StoreField(record, offsetof(FileInfoRecord, extractedSize), entry.dataSize);
    qvr::DescrambleNameText(entry.scrambledName,
                            std::span(record + offsetof(FileInfoRecord, fileName), FileNameSize - 1));
}

}  // namespace

ResultCode ListArchive(const char* source, std::int32_t length, std::uint32_t flags,
                       LocalHandle* listingHandleOut) {
    const std::uint32_t inputKind = InputKindOf(flags);
    if (inputKind > static_cast<std::uint32_t>(InputKind::Memory)) return ResultCode::Unsupported;

    OpenedSource opened;
    if (const ResultCode r = OpenSource(source, length, inputKind, opened); r != ResultCode::Success) return r;

    const std::uint32_t count = opened.archive.header.entryCount;
    HostBlock block;
    if (const ResultCode r = block.AllocateLocked(ListingBlockSize(count)); r != ResultCode::Success) return r;

    // The block is zero-filled, so the bytes a record leaves alone, and the
    // terminator record after the last entry, are zero already: each record
    // gets only the fields that are not zero, written in place.
    std::uint8_t* record = block.Bytes().data();
    auto cursor = opened.archive.Begin();
    for (std::uint32_t i = 0; i < count; ++i, record += sizeof(FileInfoRecord)) {
        const auto stored = qvr::PeekEntry(cursor);
        if (!stored || !qvr::SkipEntry(cursor)) return ResultCode::EntryNotFound;
        WriteListingRecord(*stored, i, record);
    }
    *listingHandleOut = block.HandOver();
    return ResultCode::Success;
}

ResultCode LookUpEntry(const char* source, std::int32_t length, const char* entryName, std::uint32_t flags,
                       FileInfoRecord* record) {
    const std::uint32_t inputKind = InputKindOf(flags);
    if (inputKind > static_cast<std::uint32_t>(InputKind::Memory)) return ResultCode::Unsupported;

    OpenedSource opened;
    if (const ResultCode r = OpenSource(source, length, inputKind, opened); r != ResultCode::Success) return r;

    // The host's record is the working record: after a walk without a
    // match it describes the last entry examined.
    const bool ignoreCase = IgnoreCaseOf(flags);
    auto cursor = opened.archive.Begin();
    for (std::uint32_t i = 0; i < opened.archive.header.entryCount; ++i) {
        qvr::Entry entry;
        if (!qvr::ReadNextEntry(cursor, entry)) return ResultCode::EntryNotFound;
        FillRecord(entry, *record);
        record->position = i;
        if (NamesEqual(record->fileName.data(), entryName, ignoreCase)) return ResultCode::Success;
    }
    return ResultCode::EntryNotFound;
}

}  // namespace axqvr
