#include <gtest/gtest.h>

#include "qvr/writer.h"
#include "test_archives.h"

namespace qvr {
namespace {

using test::Bytes;

// What the reader gives back for entry i: name bytes and descrambled content.
std::vector<std::uint8_t> ContentOf(std::span<const std::uint8_t> image, const Entry& e) {
    const auto data = EntryData(image, e.dataOffset, e.dataSize);
    EXPECT_TRUE(data);
    std::vector<std::uint8_t> content(data->begin(), data->end());
    DescrambleContent(content);
    return content;
}

TEST(Writer, RoundTripsEveryNameLengthAndContentShape) {
    const std::size_t sizes[] = {0, 1, 49, 50, 51, 4096};
    std::vector<WriterEntry> entries;
    for (std::size_t n = 0; n <= MaxNameLength; ++n) {
        auto name = test::Filled(n, static_cast<std::uint8_t>(n + 1));
        for (auto& b : name) b = static_cast<std::uint8_t>(b | 1);  // no zero byte inside
        entries.push_back({name, test::Filled(sizes[n % std::size(sizes)], static_cast<std::uint8_t>(n))});
    }
    const auto image = test::Build(entries);

    for (const bool viaFile : {false, true}) {
        OpenedArchive archive;
        SpanByteSource source(image);
        ASSERT_EQ(viaFile ? OpenArchiveFile(source, 0, archive) : OpenArchiveImage(image, archive),
                  OpenStatus::Success);
        ASSERT_EQ(archive.header.entryCount, entries.size());
        const auto walked = test::WalkAll(archive);
        ASSERT_EQ(walked.size(), entries.size());
        for (std::size_t i = 0; i < entries.size(); ++i) {
            const auto name = walked[i].NameBytes();
            EXPECT_TRUE(std::equal(name.begin(), name.end(), entries[i].name.begin(), entries[i].name.end())) << i;
            EXPECT_EQ(ContentOf(image, walked[i]), entries[i].content) << i;
        }
    }
}

TEST(Writer, LaysOutHeaderDirectoryAndScrambledData) {
    const std::vector<WriterEntry> entries = {{Bytes("ab"), std::vector<std::uint8_t>(60, 0)}};
    const auto image = test::Build(entries);
    ASSERT_EQ(image.size(), HeaderSize + 12 + 60);
    EXPECT_TRUE(std::equal(ArchiveMagic.begin(), ArchiveMagic.end(), image.begin()));
    for (std::size_t i = 5; i < 32; ++i) EXPECT_EQ(image[i], 0) << i;
    EXPECT_EQ(image[32], 1);
    EXPECT_EQ(image[33], 0);
    EXPECT_EQ(image[34], 0);  // each entry's first byte
    EXPECT_EQ(image[35], 2);
    EXPECT_EQ(image[36], 'a' ^ 'T');
    EXPECT_EQ(image[37], 'b' ^ 'u');
    EXPECT_EQ(LoadU32(std::span(image).subspan(38).first<4>()), 60u);
    EXPECT_EQ(LoadU32(std::span(image).subspan(42).first<4>()), 46u);
    EXPECT_EQ(image[46], 'M' ^ 'T');       // zeros scrambled expose the mask
    EXPECT_EQ(image[46 + 50], 0);          // from byte 50 on, stored plain
}

TEST(Writer, RefusesWhatTheFormatCannotHold) {
    std::vector<WriterEntry> tooMany(MaxEntryCount + 1);
    auto many = WriteArchive(tooMany);
    EXPECT_FALSE(many.ok());
    EXPECT_TRUE(many.bytes.empty());
    EXPECT_NE(many.error.find("65535"), std::string::npos) << many.error;

    std::vector<WriterEntry> exactly(MaxEntryCount);
    EXPECT_TRUE(WriteArchive(exactly).ok());

    const std::vector<WriterEntry> longName = {{{}, {}}, {std::vector<std::uint8_t>(256, 'x'), {}}};
    auto named = WriteArchive(longName);
    EXPECT_FALSE(named.ok());
    EXPECT_TRUE(named.bytes.empty());
    EXPECT_NE(named.error.find("entry 1"), std::string::npos) << named.error;
}

TEST(Writer, RefusesSizesAndOffsetsPast32Bits) {
    const auto name = Bytes("n");
    const std::vector<EntrySpec> huge = {{name, 0x1'0000'0000ull}};
    EXPECT_FALSE(PlanArchive(huge).ok());

    // Two entries of 4 GiB - 1: the second would start past what 32 bits address.
    const std::vector<EntrySpec> two = {{name, 0xFFFF'FFFFull}, {name, 1}};
    const auto planned = PlanArchive(two);
    EXPECT_FALSE(planned.ok());
    EXPECT_NE(planned.error.find("entry 1"), std::string::npos) << planned.error;
    EXPECT_TRUE(planned.layout.headAndDirectory.empty());

    // The last offset that still fits is accepted.
    const std::vector<EntrySpec> edge = {{name, 0xFFFF'FFFFull - (HeaderSize + 2 * EntrySize(name.size()))}, {name, 5}};
    const auto fits = PlanArchive(edge);
    ASSERT_TRUE(fits.ok()) << fits.error;
    EXPECT_EQ(fits.layout.dataOffsets[1], 0xFFFF'FFFFu);
}

// The limits in the order every writer reports them: the count, then any
// name, then sizes and offsets in directory order.
TEST(Writer, CheckLayoutNamesTheFirstLimitPassed) {
    const auto name = Bytes("n");
    const std::vector<std::uint8_t> longName(MaxNameLength + 1, 'x');
    const auto check = [](const std::vector<EntrySpec>& specs) { return CheckLayout(specs); };
    const std::vector<EntrySpec> tooMany(MaxEntryCount + 1);
    EXPECT_EQ(check(tooMany).refusal, LayoutRefusal::TooManyEntries);
    EXPECT_EQ(check(tooMany).value, MaxEntryCount + 1);

    const auto named = check({{name, 0x1'0000'0000ull}, {longName, 0}});
    EXPECT_EQ(named.refusal, LayoutRefusal::NameTooLong);
    EXPECT_EQ(named.entry, 1u);
    EXPECT_EQ(named.value, MaxNameLength + 1);

    const auto large = check({{name, 1}, {name, 0x1'0000'0000ull}});
    EXPECT_EQ(large.refusal, LayoutRefusal::DataTooLarge);
    EXPECT_EQ(large.entry, 1u);

    const auto past = check({{name, 0xFFFF'FFFFull}, {name, 1}});
    EXPECT_EQ(past.refusal, LayoutRefusal::DataPastAddressable);
    EXPECT_EQ(past.entry, 1u);
    EXPECT_EQ(past.value, HeaderSize + 2 * EntrySize(1) + 0xFFFF'FFFFull);

    EXPECT_TRUE(check({{name, 0xFFFF'FFFFull - (HeaderSize + 2 * EntrySize(1))}, {name, 5}}).ok());
}

}  // namespace
}  // namespace qvr
