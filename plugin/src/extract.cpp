#include <algorithm>
#include <cstring>
#include <limits>
#include <optional>

#include <windows.h>

#include "archive_source.h"
#include "entry_name.h"
#include "host_block.h"
#include "memory_bounds.h"
#include "plugin.h"
#include "qvr/scramble.h"

namespace axqvr {
namespace {

// What GetFile leaves in the host's slot after writing an entry to disk.
constexpr std::size_t DiskOutputBlockSize = 200;

// Walks from the first entry to entry `index`; the entries before it are
// passed over, the wanted one decoded.
bool WalkTo(const qvr::OpenedArchive& archive, std::uint32_t index, qvr::Entry& out) noexcept {
    auto cursor = archive.Begin();
#ifdef AXQVR_LITERAL_WALK
    // The literal build decodes every name it passes, to be measured against.
    for (std::uint32_t i = 0; i < index; ++i) {
        qvr::Entry passed;
        if (!qvr::ReadNextEntry(cursor, passed)) return false;
    }
#else
    if (!qvr::SkipEntries(cursor, index)) return false;
#endif
    return qvr::ReadNextEntry(cursor, out);
}

// An empty entry has no block: no host can lock a zero-byte movable block,
// so memory output refuses it later, while disk output writes an empty file.
ResultCode AllocateContent(std::uint32_t size, HostBlock& block) noexcept {
    if (size == 0) return ResultCode::Success;
    return block.AllocateLocked(size);
}

// Walks the archive at the start of `file` to entry `index`.
ResultCode FindInFile(HANDLE file, std::int32_t index, qvr::Entry& entry) {
    Win32FileSource bytes(file);
#ifdef AXQVR_LITERAL_WALK
    // The literal build reads the whole directory on every call.
    qvr::OpenedArchive archive;
    if (const auto status = qvr::OpenArchiveFile(bytes, 0, archive); status != qvr::OpenStatus::Success)
        return ToResultCode(status);
    if (index < 0 || static_cast<std::uint32_t>(index) >= archive.header.entryCount)
        return ResultCode::EntryNotFound;
    return WalkTo(archive, static_cast<std::uint32_t>(index), entry) ? ResultCode::Success
                                                                     : ResultCode::EntryNotFound;
#else
    // The directory is read in bounded pieces only as far as the entry:
    // near its start, one read does. A negative index lies past every count.
    const std::uint32_t wanted =
        index < 0 ? std::numeric_limits<std::uint32_t>::max() : static_cast<std::uint32_t>(index);
    std::optional<qvr::Entry> found;
    if (const auto status = qvr::ReadEntryAt(bytes, 0, wanted, found); status != qvr::OpenStatus::Success)
        return ToResultCode(status);
    if (!found) return ResultCode::EntryNotFound;
    entry = *found;
    return ResultCode::Success;
#endif
}

// Entry `index` of the archive file at `path`, which begins at the file's first byte.
ResultCode ExtractFromFile(HostBlock& slot, EntryName& nameOut, std::uint32_t& sizeOut, const char* path,
                           std::int32_t index) {
    FileHandle file(OpenArchiveForReading(path));
    if (!file.Valid()) return ResultCode::OpenFailed;

    qvr::Entry entry;
    if (const ResultCode r = FindInFile(file.Get(), index, entry); r != ResultCode::Success) return r;

    Win32FileSource bytes(file.Get());

    HostBlock content;
    if (const ResultCode r = AllocateContent(entry.dataSize, content); r != ResultCode::Success) return r;
    // A file that ends inside the entry does not hold it.
    if (bytes.ReadAt(entry.dataOffset, content.Bytes()) != content.Bytes().size())
        return ResultCode::EntryNotFound;
    qvr::DescrambleContent(content.Bytes());

    nameOut = RecordName(entry);
    sizeOut = entry.dataSize;
    slot = std::move(content);
    return ResultCode::Success;
}

// Takes the content block out of `slot`, writes `size` bytes of it to the
// file `name` and releases it; on success leaves a 200-byte zero-filled
// block in `slot`. On failure `slot` is empty and no partial file remains.
bool WriteEntryFile(const EntryName& name, HostBlock& slot, std::uint32_t size) noexcept {
    HostBlock content = std::move(slot);
    if (!IsSafeEntryName(name.data())) return false;

    HANDLE file = CreateFileA(name.data(), GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    const bool complete =
        size == 0 || (WriteFile(file, content.Bytes().data(), size, &written, nullptr) && written == size);
    SetEndOfFile(file);
    CloseHandle(file);
    content.Release();
    if (!complete) {
        DeleteFileA(name.data());
        return false;
    }

    HostBlock done;
    if (done.AllocateLocked(DiskOutputBlockSize) != ResultCode::Success) return false;
    std::fill(done.Bytes().begin(), done.Bytes().end(), std::uint8_t{0});
    slot = std::move(done);
    return true;
}

// Entry `index` of the image: on Success the content block is in `slot`,
// the name in `nameOut` and the size in `sizeOut`; otherwise none is written.
ResultCode ExtractFromImage(HostBlock& slot, EntryName& nameOut, std::uint32_t& sizeOut,
                            std::span<const std::uint8_t> image, std::uint32_t index) noexcept {
    qvr::OpenedArchive archive;
    if (const auto status = qvr::OpenArchiveImage(image, archive); status != qvr::OpenStatus::Success)
        return ToResultCode(status);
    if (index >= archive.header.entryCount) return ResultCode::EntryNotFound;
    qvr::Entry entry;
    if (!WalkTo(archive, index, entry)) return ResultCode::EntryNotFound;
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

    // The host's slot is written only on Success; until then the block is ours.
    HostBlock slot;
    EntryName name{};
    std::uint32_t size = 0;
    ResultCode extracted;
    if (inputKind == static_cast<std::uint32_t>(InputKind::File)) {
        extracted = ExtractFromFile(slot, name, size, source, length);
    } else {
        LocatedImage located;
        if (!LocateImage(source, located)) return ResultCode::UnrecognisedFormat;
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
