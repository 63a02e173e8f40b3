// Whether an archive's structure holds: the directory inside the file, and
// every entry's data inside the file, clear of the header, the directory
// entries and each other. Names are not judged here. Each front end words
// the findings for its own people; the findings themselves are decided once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "qvr/open.h"

namespace qvr {

enum class StructureFault : std::uint8_t {
    FirstEntryCut,        // the file ends inside the first directory entry
    DirectoryPastEnd,     // the directory should run to byte `end`, past the end of the file
    DirectoryCutShort,    // entry `index` runs past the end of the directory; `index` of the count readable
    DataPastEnd,          // entry `index`'s data run to byte `end`, past the end of the file
    DataInsideDirectory,  // entry `index`'s data at byte `begin` overlap the header or the directory entries
    DataOverlap,          // entry `index`'s data [`begin`, `end`) overlap those of entry `other`
};

struct StructureFinding {
    StructureFault fault;
    std::uint32_t index = 0;   // the entry concerned
    std::uint32_t other = 0;   // DataOverlap: the entry reached into
    std::uint64_t begin = 0;   // the data's first byte, or where the directory should end
    std::uint64_t end = 0;     // one past the data's last byte
    std::size_t entryAt = 0;   // where entry `index` lies in the directory, for reading its name
};

// Every structural problem of an archive opened from a file of `fileSize`
// bytes, in the order a reader meets them: the directory, then each entry
// as walked, then data inside the directory, then overlaps. Empty: sound.
std::vector<StructureFinding> FindStructureProblems(const OpenedArchive& opened, std::uint64_t fileSize);

// The same for the archive at `archiveOffset` in `source`, walked through
// `window` (WindowWalk, each walk's first read at most `firstRead`) and
// never held whole, for an archive that opens. The directory is read once,
// and again only where data lie inside it or out of directory order.
std::vector<StructureFinding> FindStructureProblems(ByteSource& source, std::uint64_t archiveOffset,
                                                    std::span<std::uint8_t> window, std::uint64_t fileSize,
                                                    std::size_t firstRead = SIZE_MAX);

}  // namespace qvr
