#include "qvr/scramble.h"

#include <algorithm>

#include "qvr/format.h"

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

// NameKey laid end to end over the longest name a directory can hold, so
// descrambling a name is one XOR a byte with no key position to carry from
// byte to byte, which the compiler turns into vector code: every listing
// and lookup descrambles every name it passes.
constexpr auto NameMaskTable = [] {
    std::array<std::uint8_t, MaxNameLength + 1> mask{};
    for (std::size_t i = 0; i < mask.size(); ++i) mask[i] = NameKey[i % NameKey.size()];
    return mask;
}();

constexpr std::uint8_t NameMask(std::size_t i) noexcept {
    return i < NameMaskTable.size() ? NameMaskTable[i] : NameKey[i % NameKey.size()];
}

}  // namespace

std::uint8_t NameMaskAt(std::size_t i) noexcept { return NameMask(i); }

void DescrambleName(std::span<std::uint8_t> name) noexcept {
    const std::size_t tabled = std::min(name.size(), NameMaskTable.size());
    for (std::size_t i = 0; i < tabled; ++i) name[i] ^= NameMaskTable[i];
    for (std::size_t i = tabled; i < name.size(); ++i) name[i] ^= NameMask(i);
}

std::size_t DescrambleNameText(std::span<const std::uint8_t> scrambled, std::span<std::uint8_t> out) noexcept {
    const std::size_t n = std::min(scrambled.size(), out.size());
    for (std::size_t i = 0; i < n; ++i) {
        const auto b = static_cast<std::uint8_t>(scrambled[i] ^ NameMask(i));
        if (b == 0) return i;
        out[i] = b;
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
