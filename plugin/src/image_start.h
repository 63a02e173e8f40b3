// GetFile's memory source carries the entry index inside the pointer: the
// host passes the image's first byte plus the index. Finding the image again
// is a search back for a whole archive head. Platform-free and header-only,
// so that the fuzz targets can hold it against the writer's images.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "qvr/format.h"

namespace axqvr {

// No entry index is larger, so no image start lies further back.
inline constexpr std::size_t MaxSearchSteps = qvr::MaxEntryCount;

// Searches back from `at` (an index into `memory`) at most `maxSteps` steps
// for the five bytes of ArchiveMagic, and returns the distance back to the
// nearest. A directory's scrambled names, sizes and offsets can spell "QVR"
// too; only the whole magic marks an archive's first byte, so those are
// passed over. Bytes past the end of `memory` are never read.
inline std::optional<std::size_t> FindImageStart(std::span<const std::uint8_t> memory, std::size_t at,
                                                 std::size_t maxSteps = MaxSearchSteps) noexcept {
    for (std::size_t d = 0; d <= maxSteps && d <= at; ++d) {
        const std::size_t p = at - d;
        if (p > memory.size() || memory.size() - p < qvr::ArchiveMagic.size()) continue;
        if (std::equal(qvr::ArchiveMagic.begin(), qvr::ArchiveMagic.end(), memory.begin() + static_cast<std::ptrdiff_t>(p)))
            return d;
    }
    return std::nullopt;
}

}  // namespace axqvr
