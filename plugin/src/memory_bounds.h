// Memory sources come from the host as bare addresses. Before the plug-in
// reads one, it asks the system how much memory there is committed and
// readable, so that a short or broken image is refused, never overrun.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace axqvr {

// How many bytes from `at` on are committed and readable without a break,
// counting no further than `limit`.
std::size_t ReadableBytesFrom(const std::uint8_t* at, std::size_t limit) noexcept;

// How many bytes just below `at` are committed and readable without a
// break, counting no further than `limit`.
std::size_t ReadableBytesBefore(const std::uint8_t* at, std::size_t limit) noexcept;

// The image a listing may read: the readable memory from `source` on, cut
// to `length` when the host gives a positive one.
std::span<const std::uint8_t> BoundedImage(const char* source, std::int32_t length) noexcept;

// Where GetFile's memory source lies: the image found by searching back
// from `source` for "QVR", and the entry index (the distance searched).
struct LocatedImage {
    std::span<const std::uint8_t> image;
    std::uint32_t index = 0;
};

// Searches back for the archive magic (FindImageStart) at most 65535 steps,
// and never into memory that is not readable. False when none lies within
// that reach.
bool LocateImage(const char* source, LocatedImage& out) noexcept;

}  // namespace axqvr
