#include "qvr/scramble.h"

#include <algorithm>

namespace qvr {
namespace {

// Position of the key byte used for content byte i when a key of length n
// wraps to 1 after its end: 0 for byte 0, then 1..n-1 repeating.
constexpr std::size_t WrapToOne(std::size_t i, std::size_t n) {
    return i == 0 ? 0 : 1 + (i - 1) % (n - 1);
}

constexpr std::array<std::uint8_t, ScrambledContentSize> MakeContentMask() {
    std::array<std::uint8_t, ScrambledContentSize> mask{};
    for (std::size_t i = 0; i < mask.size(); ++i) {
        mask[i] = static_cast<std::uint8_t>(ContentKey[WrapToOne(i, ContentKey.size())] ^
                                            NameKey[WrapToOne(i, NameKey.size())]);
    }
    return mask;
}

constexpr auto ContentMaskTable = MakeContentMask();

// Hand-checked against the position table: byte 12 takes ContentKey[1] and
// NameKey[12]; byte 15 takes ContentKey[4] and NameKey[1].
static_assert(ContentMaskTable[12] == (ContentKey[1] ^ NameKey[12]));
static_assert(ContentMaskTable[15] == (ContentKey[4] ^ NameKey[1]));
static_assert(ContentMaskTable[49] == (ContentKey[5] ^ NameKey[7]));

}  // namespace

void DescrambleName(std::span<std::uint8_t> name) noexcept {
    std::size_t k = 0;
    for (auto& b : name) {
        b ^= NameKey[k];
        if (++k == NameKey.size()) k = 0;
    }
}

std::size_t DescrambleNameText(std::span<const std::uint8_t> scrambled, std::span<std::uint8_t> out) noexcept {
    const std::size_t n = std::min(scrambled.size(), out.size());
    std::size_t k = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const auto b = static_cast<std::uint8_t>(scrambled[i] ^ NameKey[k]);
        if (b == 0) return i;
        out[i] = b;
        if (++k == NameKey.size()) k = 0;
    }
    return n;
}

void DescrambleContent(std::span<std::uint8_t> content) noexcept {
    const std::size_t n = std::min(content.size(), ScrambledContentSize);
    for (std::size_t i = 0; i < n; ++i) content[i] ^= ContentMaskTable[i];
}

std::uint8_t ContentMask(std::size_t i) noexcept {
    return i < ScrambledContentSize ? ContentMaskTable[i] : 0;
}

}  // namespace qvr
