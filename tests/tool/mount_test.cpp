// The tree a mount shows and the bytes it serves, without mounting: what
// goes where (as extraction places it), and where reads must fail.
#include "mount_source.h"
#include "mount_tree.h"
#include "tool_test_support.h"

namespace qvr::tooltest {
namespace {

using cli::MountSource;
using cli::MountTree;
using cli::NameCodec;

OpenedArchive Opened(const Bytes& image) {
    OpenedArchive opened;
    EXPECT_EQ(OpenArchiveImage(image, opened), OpenStatus::Success);
    return opened;
}

std::vector<std::string> ChildNames(const MountTree& tree, cli::NodeId folder) {
    std::vector<std::string> names;
    for (const auto child : tree.Children(folder)) names.emplace_back(tree.Name(child));
    return names;
}

TEST(MountTree, ShowsWhatExtractionPlacesAndNamesTheRest) {
    std::string error;
    const auto cp932 = NameCodec::Make("CP932", error);
    ASSERT_TRUE(cp932) << error;
    const Bytes trailBytes{0x95, 0x5C, 0x8E, 0xA6, 0x5C, 0x83, 0x5C, '.', 't', 'x', 't'};  // 表示\ソ.txt
    const auto image = Archive({{trailBytes, B("cp932")},
                                {B("b/z.txt"), B("first")},
                                {B("b\\a.txt"), B("a")},
                                {B("b\\z.txt"), B("second")},
                                {B("..\\up.txt"), B("x")},
                                {B(""), B("x")},
                                {B("b"), B("file where a folder is")},
                                {B("empty"), {}}});
    const auto built = cli::BuildMountTree(Opened(image), *cp932);
    const MountTree& tree = built.tree;

    EXPECT_EQ(built.walked, 8u);
    EXPECT_EQ(ChildNames(tree, MountTree::Root), (std::vector<std::string>{"b", "empty", "表示"}));
    const auto folder = tree.Find(MountTree::Root, "表示");
    ASSERT_TRUE(folder);
    EXPECT_EQ(ChildNames(tree, *folder), std::vector<std::string>{"ソ.txt"});
    const auto b = tree.Find(MountTree::Root, "b");
    ASSERT_TRUE(b && tree.Node(*b).folder);
    EXPECT_EQ(ChildNames(tree, *b), (std::vector<std::string>{"a.txt", "z.txt"}));
    EXPECT_EQ(tree.Node(*tree.Find(*b, "z.txt")).entryIndex, 1u);  // the first of a path wins
    EXPECT_FALSE(tree.Find(*b, "zz.txt"));
    EXPECT_EQ(tree.Node(MountTree::Root).subfolders, 2u);
    EXPECT_EQ(tree.FileBytes(), 5u + 5 + 1);

    std::vector<std::uint32_t> leftOut;
    for (const auto& left : built.leftOut) leftOut.push_back(left.index);
    EXPECT_EQ(leftOut, (std::vector<std::uint32_t>{3, 4, 5, 6}));
    EXPECT_NE(built.leftOut[0].reason.find("entry 1"), std::string::npos) << built.leftOut[0].reason;
}

TEST(MountTree, DamagedDirectoryShowsTheEntriesTheWalkReads) {
    auto image = Archive({{B("one"), B("1")}, {B("two"), B("2")}, {B("three"), B("3")}});
    // The directory cut inside its second entry.
    image.resize(HeaderSize + EntryFixedSize + 3 + 4);
    const auto built = cli::BuildMountTree(Opened(image), NameCodec::PassThrough());
    EXPECT_EQ(built.walked, 1u);
    EXPECT_EQ(ChildNames(built.tree, MountTree::Root), std::vector<std::string>{"one"});
}

class MountSourceTest : public Scratch {
protected:
    // The archive on disk, its tree, and a source over it.
    void Load(const Bytes& image) {
        WriteFile(dir / "a.qvr", image);
        built = cli::BuildMountTree(Opened(image), NameCodec::PassThrough());
        std::string error;
        auto file = cli::InputFile::Open(dir / "a.qvr", error);
        ASSERT_TRUE(file) << error;
        source = MountSource::Take(std::move(*file), dir / "a.qvr", error);
        ASSERT_TRUE(source) << error;
    }
    const cli::MountNode& Node(const char* name) { return built.tree.Node(*built.tree.Find(MountTree::Root, name)); }
    Bytes Read(const char* name, std::uint64_t offset, std::size_t size, int& error) {
        Bytes into(size);
        const auto read = source->Read(Node(name), offset, into);
        error = read.error;
        into.resize(read.size);
        return into;
    }
    cli::BuiltTree built;
    std::optional<MountSource> source;
};

TEST_F(MountSourceTest, ReadsAnyRangeDescrambled) {
    const Bytes content = Pattern(300, 7);
    Load(Archive({{B("a"), content}, {B("b"), B("bee")}}));
    int error = -1;
    for (const auto& [offset, size] : {std::pair<std::ptrdiff_t, std::ptrdiff_t>{0, 300}, {30, 40}, {49, 2}, {250, 100}}) {
        const Bytes want(content.begin() + offset, content.begin() + std::min<std::ptrdiff_t>(offset + size, 300));
        EXPECT_EQ(Read("a", static_cast<std::uint64_t>(offset), static_cast<std::size_t>(size), error), want) << offset;
        EXPECT_EQ(error, 0);
    }
    EXPECT_TRUE(Read("a", 300, 10, error).empty());
    EXPECT_EQ(error, 0);
    EXPECT_EQ(Read("b", 0, 10, error), B("bee"));
}

TEST_F(MountSourceTest, ArchiveEndingInsideAnEntryGivesItsBytesThenEio) {
    const Bytes content = Pattern(5000, 3);
    auto image = Archive({{B("whole"), B("kept")}, {B("cut"), content}});
    image.resize(image.size() - 1000);
    Load(image);
    EXPECT_FALSE(source->CutShort(Node("whole")));
    EXPECT_TRUE(source->CutShort(Node("cut")));
    int error = -1;
    EXPECT_EQ(Read("cut", 0, 8192, error), Bytes(content.begin(), content.begin() + 4000));
    EXPECT_EQ(error, 0);
    EXPECT_TRUE(Read("cut", 4000, 8192, error).empty());
    EXPECT_EQ(error, EIO);
    EXPECT_EQ(Read("whole", 0, 10, error), B("kept"));
}

TEST_F(MountSourceTest, ArchiveReplacedOrRewrittenGivesEio) {
    const auto image = Archive({{B("a"), B("alpha")}});
    Load(image);
    int error = -1;
    EXPECT_EQ(Read("a", 0, 5, error), B("alpha"));
    // The same bytes under a new inode: the path no longer leads to the mounted file.
    WriteFile(dir / "new.qvr", image);
    fs::rename(dir / "new.qvr", dir / "a.qvr");
    EXPECT_TRUE(Read("a", 0, 5, error).empty());
    EXPECT_EQ(error, EIO);

    Load(image);
    Bytes longer = image;
    longer.push_back(0);
    WriteFile(dir / "a.qvr", longer);  // in place: same inode
    EXPECT_TRUE(Read("a", 0, 5, error).empty());
    EXPECT_EQ(error, EIO);
}

}  // namespace
}  // namespace qvr::tooltest
