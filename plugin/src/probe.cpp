#include <array>

#include <windows.h>

#include "memory_bounds.h"
#include "plugin.h"
#include "qvr/format.h"

namespace axqvr {
namespace {

// The probe looks at no more than a host would hand it: one read's worth.
constexpr std::size_t ProbeSize = 2048;

// Handles are small numbers; anything with a bit above the low 16 set is an address.
constexpr std::uintptr_t FirstAddress = 0x10000;

}  // namespace

std::int32_t ProbeCandidate(std::uintptr_t candidate) noexcept {
    if (candidate >= FirstAddress) {
        const auto* first = reinterpret_cast<const std::uint8_t*>(candidate);
        const std::span<const std::uint8_t> head(first, ReadableBytesFrom(first, ProbeSize));
        return qvr::CheckArchiveHeader(head) ? 1 : 0;
    }
    // From the handle's current position on; the position is left where the read ends.
    std::array<std::uint8_t, ProbeSize> head{};
    DWORD got = 0;
    if (!ReadFile(reinterpret_cast<HANDLE>(candidate), head.data(), static_cast<DWORD>(head.size()), &got,
                  nullptr))
        return 0;
    return qvr::CheckArchiveHeader(std::span(head).first(got)) ? 1 : 0;
}

}  // namespace axqvr
