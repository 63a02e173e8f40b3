// Case as the format's rules fold it: only the ASCII letters, byte by byte.
// Names are bytes in some code page; no locale knows which, and Windows
// compares device names and the tool's keys by these 26 letters alone.
#pragma once

#include <cstdint>

namespace qvr {

constexpr std::uint8_t AsciiLower(std::uint8_t b) noexcept {
    return b >= 'A' && b <= 'Z' ? static_cast<std::uint8_t>(b + ('a' - 'A')) : b;
}

constexpr std::uint8_t AsciiUpper(std::uint8_t b) noexcept {
    return b >= 'a' && b <= 'z' ? static_cast<std::uint8_t>(b - ('a' - 'A')) : b;
}

constexpr char AsciiLower(char c) noexcept {
    return static_cast<char>(AsciiLower(static_cast<std::uint8_t>(c)));
}

constexpr char AsciiUpper(char c) noexcept {
    return static_cast<char>(AsciiUpper(static_cast<std::uint8_t>(c)));
}

static_assert(AsciiLower(std::uint8_t{'Q'}) == 'q' && AsciiLower(std::uint8_t{'@'}) == '@' &&
              AsciiLower(std::uint8_t{0xC4}) == 0xC4);
static_assert(AsciiUpper('q') == 'Q' && AsciiUpper('{') == '{');

}  // namespace qvr
