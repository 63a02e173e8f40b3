// Names and the first 50 bytes of every entry's data are hidden by XOR with
// two fixed keys. Both operations are their own inverse, so the writer uses
// them to scramble as well.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace qvr {

// Stored archives depend on exactly these bytes (no terminator is part of a key).
inline constexpr std::array<std::uint8_t, 15> NameKey{'T', 'u', 'n', 'e', 'd', ' ', 'b', 'y',
                                                      ' ', 'O', 'r', 'v', 'a', 'l', 'l'};
inline constexpr std::array<std::uint8_t, 12> ContentKey{'M', 'i', 'n', 'd', ' ', 't',
                                                         'h', 'e', ' ', 'G', 'a', 'p'};

// Only this many leading bytes of an entry's data are scrambled.
inline constexpr std::size_t ScrambledContentSize = 50;

// Name byte i is XORed with NameKey[i mod 15]: the key wraps to position 0.
void DescrambleName(std::span<std::uint8_t> name) noexcept;

// The XOR byte for name position i: for callers that look at one byte of
// a stored name without descrambling the rest.
std::uint8_t NameMaskAt(std::size_t i) noexcept;

// Descrambles a stored name into `out`, stopping before the first zero byte
// of the plain name or when `out` is full, and returns how many bytes it
// wrote: the name's text as a host sees it, without a working copy of the
// whole name (a listing writes it straight into the host's record).
std::size_t DescrambleNameText(std::span<const std::uint8_t> scrambled, std::span<std::uint8_t> out) noexcept;

// Content byte i (i < 50) is XORed with ContentKey and then NameKey, each
// key wrapping to position 1, not 0. Only the bytes the span holds are
// touched, so an entry shorter than 50 bytes is descrambled over itself alone.
void DescrambleContent(std::span<std::uint8_t> content) noexcept;

// The combined XOR byte for content position i (i < 50): what
// DescrambleContent applies, for callers that stream an entry.
std::uint8_t ContentMask(std::size_t i) noexcept;

}  // namespace qvr
