// Finding one entry of an archive file for GetFile: the directory is read
// only as far as the entry, whatever its size.
#pragma once

#include <cstdint>

#include "axqvr/contract.h"
#include "file_source.h"
#include "qvr/directory.h"

namespace axqvr {

// Entry `index` of the archive at the start of the file `bytes` reads, its name decoded.
// UnrecognisedFormat or MemoryError as opening the archive says, and
// EntryNotFound for an index outside the directory (negative ones too) or
// a directory that ends before the entry does.
ResultCode FindEntryInFile(Win32FileSource& bytes, std::int32_t index, qvr::Entry& entry);

}  // namespace axqvr
