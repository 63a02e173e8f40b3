#include "qvr/name_encoding.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "qvr/directory.h"
#include "qvr/scramble.h"
#include "qvr/window_walk.h"

namespace qvr {
namespace {

bool IsCp932Lead(std::uint8_t b) noexcept { return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC); }
bool IsCp932Trail(std::uint8_t b) noexcept { return (b >= 0x40 && b <= 0x7E) || (b >= 0x80 && b <= 0xFC); }
bool IsCp932Single(std::uint8_t b) noexcept { return b < 0x80 || (b >= 0xA1 && b <= 0xDF); }

// XOR with an ASCII key keeps a byte's top bit, so a stored name is plain
// ASCII exactly when its scrambled bytes are.
static_assert(std::all_of(NameKey.begin(), NameKey.end(), [](std::uint8_t b) { return b < 0x80; }));

}  // namespace

std::size_t Utf8SequenceLength(std::span<const std::uint8_t> b) noexcept {
    const std::uint8_t c = b[0];
    if (c < 0x80) return 1;
    std::size_t n = 0;
    std::uint32_t cp = 0;
    std::uint32_t least = 0;
    if ((c & 0xE0) == 0xC0) {
        n = 2, cp = c & 0x1Fu, least = 0x80;
    } else if ((c & 0xF0) == 0xE0) {
        n = 3, cp = c & 0x0Fu, least = 0x800;
    } else if ((c & 0xF8) == 0xF0) {
        n = 4, cp = c & 0x07u, least = 0x10000;
    } else {
        return 0;
    }
    if (b.size() < n) return 0;
    for (std::size_t i = 1; i < n; ++i) {
        if ((b[i] & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (b[i] & 0x3Fu);
    }
    if (cp < least || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    return n;
}

bool IsValidUtf8Name(std::span<const std::uint8_t> name) noexcept {
    for (std::size_t i = 0; i < name.size();) {
        const std::size_t n = Utf8SequenceLength(name.subspan(i));
        if (n == 0) return false;
        i += n;
    }
    return true;
}

bool IsValidCp932Name(std::span<const std::uint8_t> name) noexcept {
    for (std::size_t i = 0; i < name.size();) {
        if (IsCp932Single(name[i])) {
            ++i;
        } else if (IsCp932Lead(name[i]) && i + 1 < name.size() && IsCp932Trail(name[i + 1])) {
            i += 2;
        } else {
            return false;
        }
    }
    return true;
}

void NameEncodingGuess::Add(std::span<const std::uint8_t> name) noexcept {
    if (IsAsciiName(name)) return;  // reads the same in every encoding guessed
    nonAscii_ = true;
    const bool utf8 = IsValidUtf8Name(name);
    const bool cp932 = IsValidCp932Name(name);
    allUtf8_ = allUtf8_ && utf8;
    allCp932_ = allCp932_ && cp932;
    someCp932Only_ = someCp932Only_ || (cp932 && !utf8);
}

NameEncoding NameEncodingGuess::Result() const noexcept {
    if (!nonAscii_) return NameEncoding::AsBytes;
    if (allUtf8_) return NameEncoding::Utf8;
    if (allCp932_) return NameEncoding::Cp932;
    return NameEncoding::AsBytes;
}

void NameEncodingGuess::AddStoredBeyondAscii(std::span<const std::uint8_t> scrambled) noexcept {
    std::array<std::uint8_t, MaxNameLength> plain;
    const auto name = std::span(plain).first(std::min(scrambled.size(), plain.size()));
    std::copy_n(scrambled.begin(), name.size(), name.begin());
    DescrambleName(name);
    Add(name);
}

NameEncodingGuess GuessNameEncoding(const OpenedArchive& opened) noexcept {
    NameEncodingGuess guess;
    auto cursor = opened.Begin();
    for (std::uint32_t i = 0; i < opened.header.entryCount; ++i) {
        const auto entry = PeekEntry(cursor);
        if (!entry) break;
        guess.AddStored(entry->scrambledName);
        SkipEntry(cursor);
    }
    return guess;
}

NameEncodingGuess GuessNameEncoding(WindowWalk& walk) {
    NameEncodingGuess guess;
    for (std::uint32_t i = walk.Index(); i < walk.Header().entryCount; ++i) {
        const auto entry = walk.Peek();
        if (!entry) break;
        guess.AddStored(entry->scrambledName);
        walk.Pass();
    }
    return guess;
}

std::string_view EncodingName(NameEncoding encoding) noexcept {
    switch (encoding) {
    case NameEncoding::Utf8:
        return "UTF-8";
    case NameEncoding::Cp932:
        return "CP932";
    case NameEncoding::AsBytes:
        break;
    }
    return "";
}

}  // namespace qvr
