// A movable, zero-filled local memory block on its way to the host. It is
// locked while the plug-in fills it, and freed on every path unless it was
// handed over; the host receives it unlocked.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "axqvr/contract.h"

namespace axqvr {

class HostBlock {
public:
    HostBlock() noexcept = default;
    ~HostBlock() { Release(); }
    HostBlock(HostBlock&& other) noexcept;
    HostBlock& operator=(HostBlock&& other) noexcept;
    HostBlock(const HostBlock&) = delete;
    HostBlock& operator=(const HostBlock&) = delete;

    // LocalAlloc(LMEM_MOVEABLE | LMEM_ZEROINIT) of exactly `size` bytes, then
    // LocalLock: AllocFailed if no handle comes, MemoryError (block freed)
    // if no pointer does. Any block held before is released first.
    ResultCode AllocateLocked(std::size_t size) noexcept;

    // The locked bytes; empty when no block is held.
    std::span<std::uint8_t> Bytes() const noexcept { return {data_, size_}; }
    bool Empty() const noexcept { return handle_ == nullptr; }

    // Unlocks the block and gives it up: the handle is the host's from now on.
    LocalHandle HandOver() noexcept;

    // Unlocks and frees the block, if one is held.
    void Release() noexcept;

private:
    LocalHandle handle_ = nullptr;
    std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
};

}  // namespace axqvr
