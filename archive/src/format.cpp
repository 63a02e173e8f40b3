#include "qvr/format.h"

#include <algorithm>

namespace qvr {

bool CheckArchiveHeader(std::span<const std::uint8_t> head) noexcept {
    return head.size() >= ArchiveMagic.size() &&
           std::equal(ArchiveMagic.begin(), ArchiveMagic.end(), head.begin());
}

}  // namespace qvr
