#include <algorithm>

#include <windows.h>

#include "archive_source.h"
#include "disk_output.h"
#include "file_entry.h"
#include "host_block.h"
#include "memory_bounds.h"
#include "plugin.h"
#include "qvr/scramble.h"

namespace axqvr {
namespace {

// An empty entry has no block: no host can lock a zero-byte movable block,
// so memory output refuses it later, while disk output writes an empty file.
ResultCode AllocateContent(std::uint32_t size, HostBlock& block) noexcept {
    if (size == 0) return ResultCode::Success;
    return block.AllocateLocked(size);
}

// True when the file holds every byte of the entry. Asked before the
// entry's block is allocated, so that a forged size costs nothing.
bool FileHoldsEntry(HANDLE file, const qvr::Entry& entry) noexcept {
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file, &size)) return false;
    const std::uint64_t end = std::uint64_t{entry.dataOffset} + entry.dataSize;
    return end <= static_cast<std::uint64_t>(size.QuadPart);
}

// Entry `index` of the archive file at `path`, which begins at the file's
// first byte: on Success the content block is in `slot`, the name in
// `nameOut` and the size in `sizeOut`; otherwise none is written.
ResultCode ExtractFromFile(HostBlock& slot, EntryName& nameOut, std::uint32_t& sizeOut, const char* path,
                           std::int32_t index) {
    if (path == nullptr) return ResultCode::OpenFailed;
    FileHandle file(OpenArchiveForReading(path));
    if (!file.Valid()) return ResultCode::OpenFailed;

    Win32FileSource bytes(file.Get(), 0);
    qvr::Entry entry;
    if (const ResultCode r = FindEntryInFile(bytes, index, entry); r != ResultCode::Success) return r;
    if (!FileHoldsEntry(file.Get(), entry)) return ResultCode::EntryNotFound;

    HostBlock content;
    if (const ResultCode r = AllocateContent(entry.dataSize, content); r != ResultCode::Success) return r;
    // The file may still have been cut short since its size was asked.
    if (bytes.ReadAt(entry.dataOffset, content.Bytes()) != content.Bytes().size())
        return ResultCode::EntryNotFound;
    qvr::DescrambleContent(content.Bytes());

    nameOut = RecordName(entry);
    sizeOut = entry.dataSize;
    slot = std::move(content);
    return ResultCode::Success;
}

// Entry `index` of the image, on the same terms as ExtractFromFile.
ResultCode ExtractFromImage(HostBlock& slot, EntryName& nameOut, std::uint32_t& sizeOut,
                            std::span<const std::uint8_t> image, std::uint32_t index) noexcept {
    qvr::OpenedArchive archive;
    if (const auto status = qvr::OpenArchiveImage(image, archive); status != qvr::OpenStatus::Success)
        return ToResultCode(status);
    if (index >= archive.header.entryCount) return ResultCode::EntryNotFound;
    // The entries before the wanted one are passed over, not decoded.
    auto cursor = archive.Begin();
    qvr::Entry entry;
    if (!qvr::SkipEntries(cursor, index) || !qvr::ReadNextEntry(cursor, entry)) return ResultCode::EntryNotFound;
    const auto data = qvr::EntryData(image, entry.dataOffset, entry.dataSize);
    if (!data) return ResultCode::EntryNotFound;

    HostBlock content;
    if (const ResultCode r = AllocateContent(entry.dataSize, content); r != ResultCode::Success) return r;
    std::copy(data->begin(), data->end(), content.Bytes().begin());
    qvr::DescrambleContent(content.Bytes());

    nameOut = RecordName(entry);
    sizeOut = entry.dataSize;
    slot = std::move(content);
    return ResultCode::Success;
}

}  // namespace

ResultCode ExtractEntry(const char* source, std::int32_t length, LocalHandle* dest, std::uint32_t flags) {
    const std::uint32_t inputKind = InputKindOf(flags);
    if (inputKind > static_cast<std::uint32_t>(InputKind::Memory)) return ResultCode::Unsupported;
    // An entry with nowhere to go is not extracted at all.
    if (dest == nullptr) return ResultCode::MemoryError;

    // The host's slot is written only on Success; until then the block is ours.
    HostBlock slot;
    EntryName name{};
    std::uint32_t size = 0;
    ResultCode extracted;
    if (inputKind == static_cast<std::uint32_t>(InputKind::File)) {
        extracted = ExtractFromFile(slot, name, size, source, length);
    } else {
        LocatedImage located;
        if (source == nullptr || !LocateImage(source, located)) return ResultCode::UnrecognisedFormat;
        extracted = ExtractFromImage(slot, name, size, located.image, located.index);
    }
    if (extracted != ResultCode::Success) return extracted;

    const std::uint32_t outputKind = OutputKindOf(flags);
    if (size == 0 && outputKind != static_cast<std::uint32_t>(OutputKind::Disk)) return ResultCode::MemoryError;
    if (outputKind == static_cast<std::uint32_t>(OutputKind::Memory)) {
        *dest = slot.HandOver();
        return ResultCode::Success;
    }
    if (outputKind == static_cast<std::uint32_t>(OutputKind::Disk)) {
        if (!WriteEntryFile(name, slot, size)) return ResultCode::Unsupported;
        *dest = slot.HandOver();
        return ResultCode::Success;
    }
    return ResultCode::Unsupported;
}

}  // namespace axqvr
