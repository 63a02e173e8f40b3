// Without --encoding every command reads an archive's names in the encoding
// they show (UTF-8, else CP932, else bytes), as the viewer does, and add and
// rename write new names in it.
#include "commands/commands.h"
#include "commands/open_archive.h"
#include "tool_test_support.h"

namespace qvr::tooltest {
namespace {

// 表示\ソ.txt and 能\表 in CP932: 表, ソ and 能 end in the trail byte 0x5C.
const Bytes Hyouji{0x95, 0x5C, 0x8E, 0xA6, 0x5C, 0x83, 0x5C, '.', 't', 'x', 't'};
const Bytes NouHyou{0x94, 0x5C, 0x5C, 0x95, 0x5C};
// 日本語.txt in CP932.
const Bytes Nihongo{'t', '1', 0x5C, 0x93, 0xFA, 0x96, 0x7B, 0x8C, 0xEA, '.', 't', 'x', 't'};

std::size_t Occurrences(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

std::vector<Bytes> StoredNames(const fs::path& archive) {
    const auto image = ReadFile(archive);
    OpenedArchive opened;
    EXPECT_EQ(OpenArchiveImage(image, opened), OpenStatus::Success);
    std::vector<Bytes> names;
    auto cursor = opened.Begin();
    Entry entry;
    for (std::uint32_t i = 0; i < opened.header.entryCount && ReadNextEntry(cursor, entry); ++i)
        names.emplace_back(entry.NameBytes().begin(), entry.NameBytes().end());
    return names;
}

class EncodingGuess : public Scratch {
protected:
    void SetUp() override {
        Scratch::SetUp();
        WriteFile(dir / "j.qvr", Archive({{Hyouji, B("1")}, {NouHyou, B("2")}}));
        WriteFile(dir / "u.qvr", Archive({{B("表示\\ソ.txt"), B("1")}, {B("plain.txt"), B("2")}}));
        // One CP932 name and one that no encoding reads: bytes, and a hint.
        WriteFile(dir / "m.qvr", Archive({{Hyouji, B("1")}, {B("\xFF\xFE.bin"), B("2")}}));
    }
};

TEST_F(EncodingGuess, EveryCommandReadsTheNamesAsTheyShow) {
    const std::string hint = "some names look like CP932";
    const struct {
        std::vector<std::string> args;
        int status;
        std::string out;  // standard output, whole ("*": not compared)
        std::size_t hints;
        std::string says = "";  // a part of standard error
    } cases[] = {
        {{"list", "j.qvr"}, 0, "表示\\ソ.txt\n能\\表\n", 0},
        {{"list", "--encoding", "CP932", "j.qvr"}, 0, "表示\\ソ.txt\n能\\表\n", 0},
        {{"list", "j.qvr", "表示/ソ.txt"}, 0, "表示\\ソ.txt\n", 0},
        {{"list", "u.qvr"}, 0, "表示\\ソ.txt\nplain.txt\n", 0},
        {{"list", "m.qvr"}, 0, "*", 1},
        {{"list", "-q", "m.qvr"}, 0, "*", 0},
        {{"test", "j.qvr"}, 0, "j.qvr: 2 entries, sound\n", 0},
        {{"test", "m.qvr"}, 0, "*", 1},
        {{"extract", "-O", "m.qvr"}, 0, "12", 1},
        {{"extract", "-O", "j.qvr", "能/表"}, 0, "2", 0},
        {{"extract", "-v", "-O", "j.qvr", "能/表"}, 0, "2", 0, "names read as CP932"},
        {{"extract", "-v", "-O", "m.qvr", "*.bin"}, 0, "2", 0, "names read as they are stored"},
    };
    for (const auto& c : cases) {
        std::string line;
        for (const auto& a : c.args) line += a + " ";
        const auto r = RunQvr(c.args, dir);
        EXPECT_EQ(r.status, c.status) << line << r.err;
        if (c.out != "*") {
            EXPECT_EQ(r.out, c.out) << line;
        }
        EXPECT_EQ(Occurrences(r.err, hint), c.hints) << line << r.err;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << line << r.err;
    }
}

// The archive made on a Japanese system extracts to the names it was made
// from, not to folders cut at trail bytes.
TEST_F(EncodingGuess, ACp932ArchiveExtractsToItsOwnTree) {
    cli::ExtractOptions options;
    options.archive = dir / "j.qvr";
    options.target = dir / "out";
    options.common.quiet = true;
    ASSERT_EQ(cli::Extract(options), cli::ExitSuccess);
    EXPECT_EQ(Tree(dir / "out"), (std::map<std::string, Bytes>{{"表示/ソ.txt", B("1")}, {"能/表", B("2")}}));
}

// add and rename store new names as the archive's names are stored, so a
// file replaces the entry of its name; what CP932 cannot hold is refused.
TEST_F(EncodingGuess, NewNamesGoInTheArchivesEncoding) {
    WriteFile(dir / "t.qvr", Archive({{Nihongo, B("old")}, {B("t1\\it's.txt"), B("x")}, {Hyouji, B("h")}}));
    WriteFile(dir / "in" / "t1" / "日本語.txt", B("new"));
    WriteFile(dir / "in" / "t1" / "😀.txt", B("no"));

    cli::CreateOptions add;
    add.archive = dir / "t.qvr";
    add.inputs = {{"t1/日本語.txt", dir / "in"}};
    add.common.quiet = true;
    ASSERT_EQ(cli::Add(add), cli::ExitSuccess);
    auto names = StoredNames(dir / "t.qvr");
    ASSERT_EQ(names.size(), 3u);  // replaced, not appended as UTF-8
    EXPECT_EQ(names[0], Nihongo);

    const auto refusedAdd = RunQvr({"add", "t.qvr", "-C", "in", "t1/😀.txt"}, dir);
    EXPECT_EQ(refusedAdd.status, 1);
    EXPECT_NE(refusedAdd.err.find("😀.txt: name cannot be stored in CP932"), std::string::npos) << refusedAdd.err;

    const auto renamed = RunQvr({"rename", "t.qvr", "t1/it's.txt", "t1/新.txt"}, dir);
    EXPECT_EQ(renamed.status, 0) << renamed.err;
    names = StoredNames(dir / "t.qvr");
    EXPECT_EQ(names[1], (Bytes{'t', '1', 0x5C, 0x90, 0x56, '.', 't', 'x', 't'}));
    const auto refusedRename = RunQvr({"rename", "t.qvr", "t1/新.txt", "t1/😀.txt"}, dir);
    EXPECT_EQ(refusedRename.status, 1);
    EXPECT_NE(refusedRename.err.find("'t1/😀.txt': name cannot be stored in CP932"), std::string::npos)
        << refusedRename.err;

    const auto test = RunQvr({"test", "t.qvr"}, dir);
    EXPECT_EQ(test.status, 0) << test.err;
    EXPECT_EQ(test.out, "t.qvr: 3 entries, sound\n");
}

}  // namespace
}  // namespace qvr::tooltest
