// FindEntryInFile the literal way, for AXQVR-literal.SPI: every call reads
// the whole directory into a fresh buffer and decodes the name of every
// entry it passes. plugin_bench measures AXQVR.SPI against this; nothing
// ships it.
#include "file_entry.h"

#include "archive_source.h"
#include "qvr/open.h"

namespace axqvr {

ResultCode FindEntryInFile(Win32FileSource& bytes, std::int32_t index, qvr::Entry& entry) {
    qvr::OpenedArchive archive;
    if (const auto status = qvr::OpenArchiveFile(bytes, 0, archive); status != qvr::OpenStatus::Success)
        return ToResultCode(status);
    if (index < 0 || static_cast<std::uint32_t>(index) >= archive.header.entryCount)
        return ResultCode::EntryNotFound;
    auto cursor = archive.Begin();
    for (std::int32_t i = 0; i <= index; ++i)
        if (!qvr::ReadNextEntry(cursor, entry)) return ResultCode::EntryNotFound;
    return ResultCode::Success;
}

}  // namespace axqvr
