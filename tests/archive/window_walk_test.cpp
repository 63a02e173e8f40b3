// A walk through a small window against OpenArchiveFile and a walk over the
// whole directory: the same entries, stopping at the same place, for every
// window size and every place a file can end.
#include <gtest/gtest.h>

#include "qvr/name_encoding.h"
#include "qvr/scramble.h"
#include "qvr/window_walk.h"
#include "test_archives.h"

namespace qvr {
namespace {

using test::Bytes;

struct Walked {
    OpenStatus status = OpenStatus::Success;
    std::uint16_t count = 0;
    std::vector<Entry> entries;  // as far as the walk went
};

Walked WholeWalk(std::span<const std::uint8_t> file) {
    SpanByteSource source(file);
    OpenedArchive archive;
    Walked out;
    out.status = OpenArchiveFile(source, 0, archive);
    if (out.status != OpenStatus::Success) return out;
    out.count = archive.header.entryCount;
    out.entries = test::WalkAll(archive);
    return out;
}

Walked WindowedWalk(std::span<const std::uint8_t> file, std::size_t windowSize, std::size_t firstRead = SIZE_MAX) {
    SpanByteSource source(file);
    std::vector<std::uint8_t> window(windowSize);
    WindowWalk walk(source, 0, window, firstRead);
    Walked out;
    out.status = walk.Status();
    if (out.status != OpenStatus::Success) return out;
    out.count = walk.Header().entryCount;
    Entry entry;
    while (out.entries.size() < out.count && walk.Next(entry)) out.entries.push_back(entry);
    return out;
}

::testing::AssertionResult Same(const Walked& a, const Walked& b) {
    if (a.status != b.status || a.count != b.count) return ::testing::AssertionFailure() << "status or count";
    if (a.entries.size() != b.entries.size())
        return ::testing::AssertionFailure() << a.entries.size() << " entries against " << b.entries.size();
    for (std::size_t i = 0; i < a.entries.size(); ++i)
        if (a.entries[i].index != b.entries[i].index || a.entries[i].name != b.entries[i].name ||
            a.entries[i].dataOffset != b.entries[i].dataOffset || a.entries[i].dataSize != b.entries[i].dataSize)
            return ::testing::AssertionFailure() << "entry " << i;
    return ::testing::AssertionSuccess();
}

// Names of every length, so entries end at every place of a window.
std::vector<WriterEntry> EveryLength(std::size_t count) {
    std::vector<WriterEntry> entries(count);
    for (std::size_t i = 0; i < count; ++i) entries[i].name = test::Filled((i * 37) % 256, static_cast<std::uint8_t>(i));
    return entries;
}

std::vector<std::vector<std::uint8_t>> Table() {
    std::vector<std::vector<std::uint8_t>> files;
    files.push_back(test::Build({}));
    files.push_back(test::Build({{Bytes("only"), Bytes("x")}}));
    files.push_back(test::Build({{Bytes("a\\same"), Bytes("1")}, {Bytes("b"), Bytes("2")}, {Bytes("a\\same"), Bytes("3")}}));
    files.push_back(test::Build(EveryLength(40)));
    // The longest first entry: the head block is all the first read may hold.
    files.push_back(test::Build({{test::Filled(MaxNameLength, 'L'), Bytes("x")}, {Bytes("b"), Bytes("2")}}));
    // A count that announces more entries than the directory holds.
    auto announced = test::Build({{Bytes("one"), Bytes("1")}, {Bytes("two"), Bytes("2")}});
    StoreU16(std::span(announced).subspan(EntryCountOffset).first<2>(), 9);
    files.push_back(announced);
    // A name length that runs the last entry past the directory's end.
    auto longName = test::Build({{Bytes("one"), Bytes("1")}, {Bytes("two"), Bytes("2")}});
    longName[HeaderSize + EntrySize(3) + EntryNameLengthOffset] = 200;
    files.push_back(longName);
    // A first data offset inside the header, and one far past the file's end.
    auto inside = test::Build({{Bytes("abc"), Bytes("x")}});
    StoreU32(std::span(inside).subspan(HeaderSize + EntryDataOffsetOffset(3)).first<4>(), 20);
    files.push_back(inside);
    auto forged = test::Build({{Bytes("abc"), Bytes("x")}, {Bytes("de"), Bytes("y")}});
    StoreU32(std::span(forged).subspan(HeaderSize + EntryDataOffsetOffset(3)).first<4>(), 0xFFFFFFF0u);
    files.push_back(forged);
    return files;
}

TEST(WindowWalk, AgreesWithTheWholeWalkForEveryFileCutAndWindow) {
    const auto files = Table();
    for (std::size_t f = 0; f < files.size(); ++f) {
        const auto& file = files[f];
        for (std::size_t end = 0; end <= file.size(); ++end) {
            const auto cut = std::span<const std::uint8_t>(file).first(end);
            const auto expected = WholeWalk(cut);
            for (const std::size_t window : {WindowWalk::MinWindow, WindowWalk::MinWindow + 1, std::size_t{4096}})
                for (const std::size_t firstRead : {std::size_t{0}, HeadBlockSize + 1, std::size_t{1000}, SIZE_MAX})
                    EXPECT_TRUE(Same(WindowedWalk(cut, window, firstRead), expected))
                        << "file " << f << " end " << end << " window " << window << " first read " << firstRead;
        }
    }
}

TEST(WindowWalk, LongDirectoryThroughTheSmallestWindow) {
    const auto bytes = test::Build(EveryLength(3000));
    const auto expected = WholeWalk(bytes);
    ASSERT_EQ(expected.entries.size(), 3000u);
    EXPECT_TRUE(Same(WindowedWalk(bytes, WindowWalk::MinWindow), expected));
    EXPECT_TRUE(Same(WindowedWalk(bytes, 64 << 10, 16 << 10), expected));
    EXPECT_TRUE(Same(WindowedWalk(std::span<const std::uint8_t>(bytes).first(100000), WindowWalk::MinWindow),
                     WholeWalk(std::span<const std::uint8_t>(bytes).first(100000))));
}

TEST(WindowWalk, SkipPeekAndPassStandWhereNextWould) {
    const auto bytes = test::Build(EveryLength(500));
    const auto expected = WholeWalk(bytes);
    SpanByteSource source(bytes);
    std::vector<std::uint8_t> window(WindowWalk::MinWindow);
    WindowWalk walk(source, 0, window);
    Entry entry;
    ASSERT_TRUE(walk.Skip(123));
    EXPECT_EQ(walk.Index(), 123u);
    const auto peeked = walk.Peek();
    ASSERT_TRUE(peeked.has_value());
    EXPECT_EQ(peeked->nameLength, expected.entries[123].nameLength);
    ASSERT_TRUE(walk.Pass());
    ASSERT_TRUE(walk.Next(entry));
    EXPECT_EQ(entry.index, 124u);
    EXPECT_EQ(entry.name, expected.entries[124].name);
    ASSERT_TRUE(walk.Skip(499 - 125));
    ASSERT_TRUE(walk.Next(entry));
    EXPECT_EQ(entry.name, expected.entries[499].name);
    // Past the last entry the directory's extent ends: nothing more to walk.
    EXPECT_FALSE(walk.Next(entry));
    EXPECT_FALSE(walk.Skip(1));
    EXPECT_FALSE(walk.Peek().has_value());
}

TEST(WindowWalk, ReadsInPiecesOfTheWindowLessOneEntry) {
    const auto bytes = test::Build(EveryLength(3000));
    std::size_t reads = 0;
    std::size_t largest = 0;
    class Counting final : public ByteSource {
    public:
        Counting(std::span<const std::uint8_t> b, std::size_t& n, std::size_t& most) : b_(b), n_(n), most_(most) {}
        std::size_t ReadAt(std::uint64_t offset, std::span<std::uint8_t> into) override {
            ++n_;
            most_ = std::max(most_, into.size());
            return SpanByteSource(b_).ReadAt(offset, into);
        }

    private:
        std::span<const std::uint8_t> b_;
        std::size_t& n_;
        std::size_t& most_;
    } source(bytes, reads, largest);
    std::vector<std::uint8_t> window(4096 + MaxEntrySize);
    WindowWalk walk(source, 0, window);
    ASSERT_TRUE(walk.Skip(3000));
    EXPECT_EQ(largest, 4096u);
    const std::size_t directory = test::EntryAt(EveryLength(3000), 3000);
    EXPECT_LE(reads, directory / (4096 - MaxEntrySize) + 2);
}

TEST(WindowWalk, GuessesTheEncodingAsTheWholeDirectoryDoes) {
    const std::vector<std::vector<WriterEntry>> cases{
        {{Bytes("plain"), {}}, {Bytes("ascii"), {}}},
        {{Bytes("plain"), {}}, {Bytes("caf\xc3\xa9"), {}}},
        {{Bytes("\x83\x65\x83\x58\x83\x67"), {}}, {Bytes("a"), {}}},
        {{Bytes("caf\xc3\xa9"), {}}, {Bytes("\x83\x65\x83\x58"), {}}, {Bytes("\xff"), {}}},
    };
    for (std::size_t c = 0; c < cases.size(); ++c) {
        const auto bytes = test::Build(cases[c]);
        SpanByteSource source(bytes);
        OpenedArchive archive;
        ASSERT_EQ(OpenArchiveFile(source, 0, archive), OpenStatus::Success);
        const auto whole = GuessNameEncoding(archive);
        std::vector<std::uint8_t> window(WindowWalk::MinWindow);
        WindowWalk walk(source, 0, window);
        const auto windowed = GuessNameEncoding(walk);
        EXPECT_EQ(windowed.Result(), whole.Result()) << c;
        EXPECT_EQ(windowed.SomeLookLikeCp932(), whole.SomeLookLikeCp932()) << c;
    }
    // The top bit of every stored name byte is the plain byte's: a name of
    // bytes up to 0x7F guesses nothing, one with 0x80 is no valid UTF-8.
    NameEncodingGuess guess;
    guess.AddStored(Bytes("x~\x7f"));
    EXPECT_EQ(guess.Result(), NameEncoding::AsBytes);
    std::vector<std::uint8_t> stored = Bytes("ab\x80");
    DescrambleName(stored);
    guess.AddStored(stored);
    EXPECT_EQ(guess.Result(), NameEncoding::AsBytes);
    EXPECT_FALSE(guess.SomeLookLikeCp932());
}

}  // namespace
}  // namespace qvr
