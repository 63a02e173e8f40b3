#include <algorithm>
#include <string_view>

#include "plugin.h"

namespace axqvr {
namespace {

using namespace std::string_view_literals;

// What GetPluginInfo serves: the interface it speaks, what it is, the
// file pattern it reads, and how a host describes that pattern.
constexpr std::array<std::string_view, 4> InfoStringTable{
    "00AM"sv,
    "QVR extract library ver.0.01 by the qvr developers"sv,
    "*.QVR"sv,
    "VELMORA \"QVR\" Data Packed File(*.QVR)"sv,
};
static_assert(InfoStringTable[0].size() == 4 && InfoStringTable[2].size() == 5 &&
              InfoStringTable[3].size() == 37);

}  // namespace

std::int32_t CopyInfoString(std::int32_t infoNo, char* buf, std::int32_t bufLen) noexcept {
    if (infoNo < 0 || infoNo >= static_cast<std::int32_t>(InfoStringTable.size())) return 0;
    // Not even the terminator fits: write nothing.
    if (bufLen <= 0 || buf == nullptr) return 0;
    const std::string_view text = InfoStringTable[static_cast<std::size_t>(infoNo)];
    const std::size_t n = std::min(text.size(), static_cast<std::size_t>(bufLen) - 1);
    std::copy_n(text.begin(), n, buf);
    buf[n] = '\0';
    return static_cast<std::int32_t>(n);
}

}  // namespace axqvr
