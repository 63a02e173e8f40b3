// Archives made by the writer and then damaged on purpose: cut short at
// every boundary a reader meets, with counts, name lengths, sizes and
// offsets set to 0, to their largest values and just past the data, and
// with entry names that would reach outside the current directory if a
// reader wrote them to disk as they stand.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "support.h"

namespace axqvr::test {

struct DamagedArchive {
    std::string what;  // how it was made, for failure messages
    Bytes bytes;
    // What opening these bytes as a whole file, and as an image, must
    // answer where the damage alone decides it: a broken magic or a head cut
    // short is no archive; a first entry whose data begin inside the header
    // leaves a file no directory to read, while an image's directory is all
    // that follows its header. Unset where the walk decides.
    std::optional<ResultCode> fileOpening;
    std::optional<ResultCode> imageOpening;
};

// Names that must never reach the disk as they stand: rooted, drive-
// qualified, UNC, holding a stream colon, climbing out with "..", or
// naming a device. Each escape names a file "qvr-escape-N" that nothing
// else creates.
std::vector<std::string> DangerousNames();

// The whole generated set, in a fixed order.
std::vector<DamagedArchive> DamagedArchives();

}  // namespace axqvr::test
