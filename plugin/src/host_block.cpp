#include "host_block.h"

#include <utility>

#include <windows.h>

namespace axqvr {

HostBlock::HostBlock(HostBlock&& other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)),
      data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)) {}

HostBlock& HostBlock::operator=(HostBlock&& other) noexcept {
    if (this != &other) {
        Release();
        handle_ = std::exchange(other.handle_, nullptr);
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
    }
    return *this;
}

ResultCode HostBlock::AllocateLocked(std::size_t size) noexcept {
    Release();
    HLOCAL handle = LocalAlloc(LMEM_MOVEABLE | LMEM_ZEROINIT, size);
    if (handle == nullptr) return ResultCode::AllocFailed;
    void* data = LocalLock(handle);
    if (data == nullptr) {
        LocalFree(handle);
        return ResultCode::MemoryError;
    }
    handle_ = handle;
    data_ = static_cast<std::uint8_t*>(data);
    size_ = size;
    return ResultCode::Success;
}

LocalHandle HostBlock::HandOver() noexcept {
    if (handle_ != nullptr) LocalUnlock(handle_);
    data_ = nullptr;
    size_ = 0;
    return std::exchange(handle_, nullptr);
}

void HostBlock::Release() noexcept {
    if (handle_ == nullptr) return;
    LocalUnlock(handle_);
    LocalFree(handle_);
    handle_ = nullptr;
    data_ = nullptr;
    size_ = 0;
}

}  // namespace axqvr
