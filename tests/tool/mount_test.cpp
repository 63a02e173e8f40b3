// The tree a mount shows and the bytes it serves, without mounting: what
// goes where (as extraction places it), and where reads must fail.
#include <functional>

#include <fmt/format.h>

#include "commands/commands.h"
#include "commands/open_archive.h"
#include "mount/fuse_library.h"
#include "mount/mountinfo.h"
#include "mount/source.h"
#include "mount/tree.h"
#include "tool_test_support.h"

namespace qvr::tooltest {
namespace {

using cli::FuseLibrary;
using cli::LoadFuseLibrary;
using cli::MountSource;
using cli::MountTree;
using cli::NameCodec;

// The tree of an archive image, walked as mount walks a file: through a
// window far smaller than the directories some tests give it.
cli::BuiltTree Built(const Bytes& image, const NameCodec& codec, std::size_t window = WindowWalk::MinWindow) {
    SpanByteSource source(image);
    std::vector<std::uint8_t> room(window);
    WindowWalk walk(source, 0, room);
    EXPECT_EQ(walk.Status(), OpenStatus::Success);
    return cli::BuildMountTree(walk, walk.Header().entryCount, codec);
}

std::vector<std::string> ChildNames(const MountTree& tree, cli::NodeId folder) {
    std::vector<std::string> names;
    for (const auto child : tree.Children(folder)) names.emplace_back(tree.Name(child));
    return names;
}

TEST(MountTree, ShowsWhatExtractionPlacesAndNamesTheRest) {
    const auto cp932 = NameCodec::Make("CP932");
    ASSERT_TRUE(cp932) << (cp932 ? "" : cp932.error());
    const Bytes trailBytes{0x95, 0x5C, 0x8E, 0xA6, 0x5C, 0x83, 0x5C, '.', 't', 'x', 't'};  // 表示\ソ.txt
    const auto image = Archive({{trailBytes, B("cp932")},
                                {B("b/z.txt"), B("first")},
                                {B("b\\a.txt"), B("a")},
                                {B("b\\z.txt"), B("second")},
                                {B("..\\up.txt"), B("x")},
                                {B(""), B("x")},
                                {B("b"), B("file where a folder is")},
                                {B("empty"), {}}});
    const auto built = Built(image, *cp932);
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

// Folders met again after others, at every depth, and new folders under
// known ones: each file must hang under its own chain of folders, and each
// folder exist once. The path walked back from a file's node must be its name.
TEST(MountTree, FilesHangUnderTheirOwnFoldersWhateverTheOrder) {
    std::vector<std::string> names{"a/b/c/1", "x/2", "a/b/3", "a/d/4", "x/y/z/5", "a/b/c/6",
                                   "a/7",     "x/y/8", "a/d/e/f/9", "10", "a/b/c/g/11", "x/y/z/12"};
    // Then folders taken in turn, so the directory runs through the small
    // window many times over.
    for (int i = 0; i < 300; ++i) names.push_back(fmt::format("p{}/q{}/file{}", i % 7, i % 3, i));
    std::vector<WriterEntry> entries;
    for (const auto& name : names) entries.push_back({B(name), B("data")});
    const auto built = Built(Archive(entries), NameCodec::PassThrough());
    const MountTree& tree = built.tree;
    EXPECT_TRUE(built.leftOut.empty());

    std::vector<std::string> files;
    std::size_t folders = 0;
    for (cli::NodeId id = 1; id < tree.Size(); ++id) {
        if (tree.Node(id).folder) {
            ++folders;
            continue;
        }
        std::string path(tree.Name(id));
        for (auto up = tree.Node(id).parent; up != MountTree::Root; up = tree.Node(up).parent)
            path = std::string(tree.Name(up)) + "/" + path;
        files.push_back(path);
        EXPECT_EQ(tree.Node(id).entryIndex, files.size() - 1) << path;
    }
    EXPECT_EQ(files, names);
    // a a/b a/b/c a/b/c/g a/d a/d/e a/d/e/f x x/y x/y/z, then p0-p6 with q0-q2 in each
    EXPECT_EQ(folders, 10u + 7 + 7 * 3);
    const auto x = tree.Find(MountTree::Root, "x");
    ASSERT_TRUE(x);
    EXPECT_EQ(ChildNames(tree, *x), (std::vector<std::string>{"2", "y"}));
    EXPECT_EQ(tree.Node(*x).subfolders, 1u);
}

TEST(MountTree, DamagedDirectoryShowsTheEntriesTheWalkReads) {
    auto image = Archive({{B("one"), B("1")}, {B("two"), B("2")}, {B("three"), B("3")}});
    // The directory cut inside its second entry, two bytes into its name.
    image.resize(HeaderSize + EntrySize(3) + EntryNameOffset + 2);
    const auto built = Built(image, NameCodec::PassThrough());
    EXPECT_EQ(built.walked, 1u);
    EXPECT_EQ(ChildNames(built.tree, MountTree::Root), std::vector<std::string>{"one"});
}

class MountSourceTest : public Scratch {
protected:
    // The archive on disk, its tree, and a source over it.
    void Load(const Bytes& image) {
        WriteFile(dir / "a.qvr", image);
        built = Built(image, NameCodec::PassThrough());
        auto file = cli::InputFile::Open(dir / "a.qvr");
        ASSERT_TRUE(file) << (file ? "" : file.error());
        auto taken = MountSource::Take(std::move(*file));
        ASSERT_TRUE(taken) << (taken ? "" : taken.error());
        source.emplace(std::move(*taken));
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
    image.erase(image.end() - 1000, image.end());
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

// The mount serves the file it opened while its bytes cannot have changed:
// what people do to the path or the file's other attributes keeps it
// serving; only a new size or modification time (a write) is EIO.
TEST_F(MountSourceTest, ServesTheOpenedFileUntilItsSizeOrTimeChanges) {
    const auto image = Archive({{B("a"), B("alpha")}});
    const auto other = Archive({{B("a"), B("omega")}});
    const fs::path a = dir / "a.qvr";
    const struct {
        const char* what;
        std::function<void()> change;
        bool serves;
    } cases[] = {
        {"chmod 444", [&] { fs::permissions(a, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read); }, true},
        {"a hard link made", [&] { fs::create_hard_link(a, dir / "link.qvr"); }, true},
        {"moved away and back", [&] { fs::rename(a, dir / "moved.qvr"); fs::rename(dir / "moved.qvr", a); }, true},
        {"replaced by a new file renamed over it, as a change writes",
         [&] { WriteFile(dir / "new.qvr", other); fs::rename(dir / "new.qvr", a); }, true},
        {"removed", [&] { fs::remove(a); }, true},
        {"modification time set back (touch -d)",
         [&] { fs::last_write_time(a, fs::last_write_time(a) - std::chrono::hours(1)); }, false},
        {"rewritten in place, longer", [&] { auto longer = image; longer.push_back(0); WriteFile(a, longer); }, false},
        {"cut short in place", [&] { fs::resize_file(a, image.size() - 1); }, false},
    };
    for (const auto& c : cases) {
        std::error_code ec;
        fs::remove(dir / "link.qvr", ec);
        if (fs::exists(a)) fs::permissions(a, fs::perms::owner_read | fs::perms::owner_write);
        Load(image);
        int error = -1;
        ASSERT_EQ(Read("a", 0, 5, error), B("alpha")) << c.what;
        c.change();
        const auto after = Read("a", 0, 5, error);
        if (c.serves) {
            EXPECT_EQ(after, B("alpha")) << c.what;
            EXPECT_EQ(error, 0) << c.what;
        } else {
            EXPECT_TRUE(after.empty()) << c.what;
            EXPECT_EQ(error, EIO) << c.what;
        }
    }
}

// The program does not link libfuse3; mount finds each function by name.
// A name or version wrong here would only show when a mount starts.
TEST(FuseLibrary, FindsEveryFunctionAndKeepsTheLibrary) {
    std::string error;
    const FuseLibrary* library = LoadFuseLibrary(error);
    ASSERT_NE(library, nullptr) << error;
#define QVR_FUSE_FOUND(member, symbol) EXPECT_NE(library->member, nullptr) << #symbol;
    QVR_FUSE_FUNCTIONS(QVR_FUSE_FOUND)
#undef QVR_FUSE_FOUND
    EXPECT_NE(library->session_loop_mt, nullptr);
    EXPECT_EQ(LoadFuseLibrary(error), library);
}

TEST(MountInfo, ReadsTheDeviceAndTypeOfTheLineForThePath) {
    const std::string line =
        "52 29 0:48 / /tmp/a\\040b\\134c rw,nosuid,relatime shared:31 - fuse.qvr /x/a.qvr ro,user_id=0";
    const auto record = cli::MountRecordOf(line, "/tmp/a b\\c");
    ASSERT_TRUE(record);
    EXPECT_EQ(record->device, "0:48");
    EXPECT_EQ(record->type, "fuse.qvr");
    EXPECT_FALSE(cli::MountRecordOf(line, "/tmp/a\\040b\\134c"));
    EXPECT_FALSE(cli::MountRecordOf("52 29 0:48 / /tmp/a rw", "/tmp/a"));  // no "-" and type
    EXPECT_FALSE(cli::MountAt("/no/such/mount/point"));
    const auto root = cli::MountAt("/");
    ASSERT_TRUE(root);
    EXPECT_NE(root->device.find(':'), std::string::npos);
}

// A folder that already shows something is refused before the archive is
// even opened: a mount would hide its files or stack on another mount.
class MountPoint : public Scratch {};

TEST_F(MountPoint, RefusedWhenNotEmpty) {
    WriteFile(dir / "a.qvr", Archive({{B("a"), B("alpha")}}));
    cli::MountOptions options;
    options.archive = dir / "a.qvr";
    options.mountPoint = dir;  // holds a.qvr itself
    options.common.quiet = true;
    EXPECT_EQ(cli::Mount(options), cli::ExitSomeFailed);
}

}  // namespace
}  // namespace qvr::tooltest
