#include <algorithm>

#include <gtest/gtest.h>

#include "qvr/scramble.h"
#include "test_archives.h"

namespace qvr {
namespace {

TEST(Scramble, NameKeyWrapsToZeroEvery15Bytes) {
    std::vector<std::uint8_t> name(31, 0);
    DescrambleName(name);
    // Scrambling zeros exposes the key stream itself.
    EXPECT_EQ(name[0], 'T');
    EXPECT_EQ(name[1], 'u');
    EXPECT_EQ(name[14], 'l');
    EXPECT_EQ(name[15], 'T');
    EXPECT_EQ(name[29], 'l');
    EXPECT_EQ(name[30], 'T');
}

TEST(Scramble, ContentKeysWrapToOneNotZero) {
    std::vector<std::uint8_t> content(60, 0);
    DescrambleContent(content);
    EXPECT_EQ(content[0], 'M' ^ 'T');   // position 0 of both keys, used once
    EXPECT_EQ(content[11], 'p' ^ 'v');  // ContentKey[11], NameKey[11]
    EXPECT_EQ(content[12], 'i' ^ 'a');  // ContentKey[1] (not [0]), NameKey[12]
    EXPECT_EQ(content[14], 'd' ^ 'l');  // ContentKey[3], NameKey[14]
    EXPECT_EQ(content[15], ' ' ^ 'u');  // ContentKey[4], NameKey[1] (not [0])
    EXPECT_EQ(content[23], 'i' ^ 'O');  // ContentKey[1], NameKey[9]
    EXPECT_EQ(content[43], 'a' ^ 'u');  // ContentKey[10], NameKey[1]
    EXPECT_EQ(content[49], 't' ^ 'y');  // ContentKey[5], NameKey[7]
    for (std::size_t i = 50; i < content.size(); ++i) EXPECT_EQ(content[i], 0) << i;
}

TEST(Scramble, BothOperationsAreTheirOwnInverse) {
    const auto original = test::Filled(255, 3);
    auto name = original;
    DescrambleName(name);
    EXPECT_NE(name, original);
    DescrambleName(name);
    EXPECT_EQ(name, original);

    auto content = original;
    DescrambleContent(content);
    EXPECT_TRUE(std::equal(content.begin() + 50, content.end(), original.begin() + 50));
    DescrambleContent(content);
    EXPECT_EQ(content, original);
}

TEST(Scramble, NameTextStopsAtTheFirstZeroOrWhenTheOutputIsFull) {
    std::vector<std::uint8_t> plain = {'a', 'b', 'c', 0, 'd', 'e'};
    auto stored = plain;
    DescrambleName(stored);  // scrambling is descrambling

    std::vector<std::uint8_t> out(10, 0xEE);
    EXPECT_EQ(DescrambleNameText(stored, out), 3u);
    EXPECT_TRUE(std::equal(plain.begin(), plain.begin() + 3, out.begin()));
    EXPECT_TRUE(std::all_of(out.begin() + 3, out.end(), [](auto b) { return b == 0xEE; }));

    std::vector<std::uint8_t> two(2, 0xEE);
    EXPECT_EQ(DescrambleNameText(stored, two), 2u);
    EXPECT_EQ(two, (std::vector<std::uint8_t>{'a', 'b'}));
    EXPECT_EQ(DescrambleNameText({}, out), 0u);
}

TEST(Scramble, NameTextAgreesWithTheWholeNameDescrambled) {
    // Long enough that the key wraps several times.
    auto stored = test::Filled(255, 9);
    auto whole = stored;
    DescrambleName(whole);
    const auto zero = std::find(whole.begin(), whole.end(), std::uint8_t{0});
    std::vector<std::uint8_t> text(255, 0);
    const std::size_t n = DescrambleNameText(stored, text);
    EXPECT_EQ(n, static_cast<std::size_t>(zero - whole.begin()));
    EXPECT_TRUE(std::equal(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(n), text.begin()));
}

TEST(Scramble, ShortContentTouchesOnlyItsOwnBytes) {
    std::vector<std::uint8_t> buffer(50, 0xAA);
    DescrambleContent(std::span(buffer).first(7));
    std::vector<std::uint8_t> full(50, 0xAA);
    DescrambleContent(full);
    EXPECT_TRUE(std::equal(buffer.begin(), buffer.begin() + 7, full.begin()));
    EXPECT_TRUE(std::all_of(buffer.begin() + 7, buffer.end(), [](auto b) { return b == 0xAA; }));
    DescrambleContent({});  // nothing to do, nothing touched
}

TEST(Scramble, ContentMaskMatchesTheTwoPasses) {
    std::vector<std::uint8_t> zeros(50, 0);
    DescrambleContent(zeros);
    for (std::size_t i = 0; i < 50; ++i) EXPECT_EQ(ContentMask(i), zeros[i]) << i;
    EXPECT_EQ(ContentMask(50), 0);
}

}  // namespace
}  // namespace qvr
