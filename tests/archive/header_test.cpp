#include <gtest/gtest.h>

#include "qvr/format.h"
#include "test_archives.h"

namespace qvr {
namespace {

TEST(Header, RecognisesExactlyTheFiveMagicBytes) {
    std::vector<std::uint8_t> head = {'Q', 'V', 'R', 'd', 0};
    EXPECT_TRUE(CheckArchiveHeader(head));
    head.resize(34, 0xEE);  // what follows the magic never matters
    EXPECT_TRUE(CheckArchiveHeader(head));

    for (std::size_t i = 0; i < 5; ++i) {
        auto changed = head;
        changed[i] ^= 0x20;  // letter case of the four characters, or a non-zero fifth byte
        EXPECT_FALSE(CheckArchiveHeader(changed)) << i;
    }
}

TEST(Header, FewerThanFiveBytesAreNeverAnArchive) {
    const std::vector<std::uint8_t> head = {'Q', 'V', 'R', 'd', 0};
    for (std::size_t n = 0; n < 5; ++n) EXPECT_FALSE(CheckArchiveHeader(std::span(head).first(n))) << n;
}

TEST(Header, LittleEndianLoadsAndStores) {
    std::array<std::uint8_t, 4> b{};
    StoreU32(b, 0x12345678u);
    EXPECT_EQ(b, (std::array<std::uint8_t, 4>{0x78, 0x56, 0x34, 0x12}));
    EXPECT_EQ(LoadU32(b), 0x12345678u);
    std::array<std::uint8_t, 2> c{0xFF, 0xFF};
    EXPECT_EQ(LoadU16(c), 65535);
}

}  // namespace
}  // namespace qvr
