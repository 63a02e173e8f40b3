#include "memory_bounds.h"

#include <algorithm>
#include <limits>

#include <windows.h>

#include "image_start.h"
#include "qvr/format.h"

namespace axqvr {
namespace {

// An image never needs more than the last byte an entry can reach:
// a 32-bit data offset plus a 32-bit size.
constexpr std::uint64_t MaxImageReach = 0x1FFFFFFFEull;
constexpr std::size_t ImageLimit =
    static_cast<std::size_t>(std::min<std::uint64_t>(MaxImageReach, std::numeric_limits<std::size_t>::max()));

bool IsReadable(const MEMORY_BASIC_INFORMATION& region) noexcept {
    if (region.State != MEM_COMMIT) return false;
    if ((region.Protect & (PAGE_GUARD | PAGE_NOACCESS)) != 0) return false;
    constexpr DWORD readable = PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READ |
                               PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
    return (region.Protect & readable) != 0;
}

}  // namespace

std::size_t ReadableBytesFrom(const std::uint8_t* at, std::size_t limit) noexcept {
    std::uintptr_t address = reinterpret_cast<std::uintptr_t>(at);
    std::size_t total = 0;
    while (total < limit) {
        MEMORY_BASIC_INFORMATION region{};
        if (VirtualQuery(reinterpret_cast<const void*>(address), &region, sizeof region) == 0) break;
        if (!IsReadable(region)) break;
        const auto regionEnd = reinterpret_cast<std::uintptr_t>(region.BaseAddress) + region.RegionSize;
        if (regionEnd <= address) break;  // the top of the address space
        total += regionEnd - address;
        address = regionEnd;
    }
    return std::min(total, limit);
}

std::size_t ReadableBytesBefore(const std::uint8_t* at, std::size_t limit) noexcept {
    std::uintptr_t address = reinterpret_cast<std::uintptr_t>(at);
    std::size_t total = 0;
    while (total < limit && address != 0) {
        MEMORY_BASIC_INFORMATION region{};
        if (VirtualQuery(reinterpret_cast<const void*>(address - 1), &region, sizeof region) == 0) break;
        if (!IsReadable(region)) break;
        const auto regionBase = reinterpret_cast<std::uintptr_t>(region.BaseAddress);
        total += address - regionBase;
        address = regionBase;
    }
    return std::min(total, limit);
}

std::span<const std::uint8_t> BoundedImage(const char* source, std::int32_t length) noexcept {
    const auto* first = reinterpret_cast<const std::uint8_t*>(source);
    const std::size_t limit = length > 0 ? static_cast<std::size_t>(length) : ImageLimit;
    return {first, ReadableBytesFrom(first, limit)};
}

bool LocateImage(const char* source, LocatedImage& out) noexcept {
    const auto* at = reinterpret_cast<const std::uint8_t*>(source);
    const std::size_t before = ReadableBytesBefore(at, MaxSearchSteps);
    const std::size_t from = ReadableBytesFrom(at, ImageLimit);
    const std::span<const std::uint8_t> reach(at - before, before + from);
    const auto distance = FindImageStart(reach, before, MaxSearchSteps);
    if (!distance) return false;
    out.image = reach.subspan(before - *distance);
    out.index = static_cast<std::uint32_t>(*distance);
    return true;
}

}  // namespace axqvr
