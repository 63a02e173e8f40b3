#include "archive_source.h"
#include "host_block.h"
#include "plugin.h"

namespace axqvr {

ResultCode ListArchive(const char* source, std::int32_t length, std::uint32_t flags,
                       LocalHandle* listingHandleOut) {
    const std::uint32_t inputKind = InputKindOf(flags);
    if (inputKind > static_cast<std::uint32_t>(InputKind::Memory)) return ResultCode::Unsupported;
    // A listing with nowhere to go is not made at all.
    if (listingHandleOut == nullptr) return ResultCode::MemoryError;

    OpenedSource opened;
    if (const ResultCode r = OpenSource(source, length, inputKind, opened); r != ResultCode::Success) return r;

    const std::uint32_t count = opened.archive.header.entryCount;
    HostBlock block;
    if (const ResultCode r = block.AllocateLocked(ListingBlockSize(count)); r != ResultCode::Success) return r;

    // The block is zero-filled, so the bytes a record leaves alone, and the
    // terminator record after the last entry, are zero already.
    auto* records = reinterpret_cast<FileInfoRecord*>(block.Bytes().data());
    auto cursor = opened.archive.Begin();
    for (std::uint32_t i = 0; i < count; ++i) {
        const auto stored = qvr::PeekEntry(cursor);
        if (!stored || !qvr::SkipEntry(cursor)) return ResultCode::EntryNotFound;
        BuildRecord(*stored, i, RecordState::ZeroFilled, records[i]);
    }
    *listingHandleOut = block.HandOver();
    return ResultCode::Success;
}

ResultCode LookUpEntry(const char* source, std::int32_t length, const char* entryName, std::uint32_t flags,
                       FileInfoRecord* record) {
    const std::uint32_t inputKind = InputKindOf(flags);
    if (inputKind > static_cast<std::uint32_t>(InputKind::Memory)) return ResultCode::Unsupported;
    // Without a record to work in or a name to look for there is nothing to do.
    if (record == nullptr || entryName == nullptr) return ResultCode::MemoryError;

    OpenedSource opened;
    if (const ResultCode r = OpenSource(source, length, inputKind, opened); r != ResultCode::Success) return r;

    // The host's record is the working record: after a walk without a
    // match it describes the last entry examined.
    const bool ignoreCase = IgnoreCaseOf(flags);
    auto cursor = opened.archive.Begin();
    for (std::uint32_t i = 0; i < opened.archive.header.entryCount; ++i) {
        const auto stored = qvr::PeekEntry(cursor);
        if (!stored || !qvr::SkipEntry(cursor)) return ResultCode::EntryNotFound;
        BuildRecord(*stored, i, RecordState::Reused, *record);
        if (NamesEqual(record->fileName.data(), entryName, ignoreCase)) return ResultCode::Success;
    }
    return ResultCode::EntryNotFound;
}

}  // namespace axqvr
