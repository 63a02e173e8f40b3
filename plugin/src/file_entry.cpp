#include "file_entry.h"

#include <limits>
#include <optional>

#include "archive_source.h"

namespace axqvr {

ResultCode FindEntryInFile(Win32FileSource& bytes, std::int32_t index, qvr::Entry& entry) {
    // A negative index lies past every count.
    const std::uint32_t wanted =
        index < 0 ? std::numeric_limits<std::uint32_t>::max() : static_cast<std::uint32_t>(index);
    std::optional<qvr::Entry> found;
    if (const auto status = qvr::ReadEntryAt(bytes, 0, wanted, found); status != qvr::OpenStatus::Success)
        return ToResultCode(status);
    if (!found) return ResultCode::EntryNotFound;
    entry = *found;
    return ResultCode::Success;
}

}  // namespace axqvr
