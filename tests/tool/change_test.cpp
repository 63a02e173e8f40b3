// add, delete and rename: the changed archive lists and extracts as
// expected, every entry the command did not touch keeps its stored bytes
// (scrambled name and data), and a refused change leaves the archive
// byte for byte as it was.
#include "tool_test_support.h"

namespace qvr::tooltest {
namespace {

// An entry as stored: name and data exactly as the archive holds them,
// and the plain name and content.
struct Stored {
    Bytes storedName;
    Bytes storedData;
    std::string name;
    Bytes content;
};

std::vector<Stored> ReadStored(const Bytes& image) {
    std::vector<Stored> out;
    OpenedArchive opened;
    EXPECT_EQ(OpenArchiveImage(image, opened), OpenStatus::Success);
    auto cursor = opened.Begin();
    for (std::uint32_t i = 0; i < opened.header.entryCount; ++i) {
        const auto raw = PeekEntry(cursor);
        Entry entry;
        if (!raw || !ReadNextEntry(cursor, entry)) {
            ADD_FAILURE() << "entry " << i << " cannot be read";
            break;
        }
        const auto data = EntryData(image, entry.dataOffset, entry.dataSize);
        if (!data) {
            ADD_FAILURE() << "entry " << i << ": data outside the archive";
            break;
        }
        Stored s{{raw->scrambledName.begin(), raw->scrambledName.end()}, {data->begin(), data->end()},
                 {entry.NameBytes().begin(), entry.NameBytes().end()}, {data->begin(), data->end()}};
        ScrambleContent(s.content);
        out.push_back(std::move(s));
    }
    return out;
}

// One entry expected in the changed archive: its name and content, and
// the old entry whose stored bytes it keeps (-1: new or changed).
struct Expected {
    std::string name;
    Bytes content;
    int keeps = -1;
};

struct Case {
    const char* what;
    std::vector<std::string> args;  // after the archive's path
    int status;
    std::vector<Expected> entries;  // empty: the archive must be unchanged
    const char* says = "";          // a part of standard error
};

class Change : public Scratch {};

TEST_F(Change, EachCommandChangesOnlyWhatItTouches) {
    const Bytes a = Pattern(120, 1), big = Pattern(100000, 2), one = B("first of two"), two = B("second of two");
    const Bytes fresh = Pattern(70000, 3), small = B("new a");
    WriteFile(dir / "in" / "c.txt", fresh);
    WriteFile(dir / "in" / "a.txt", small);
    WriteFile(dir / "in" / "dup.txt", small);
    WriteFile(dir / "in" / "sub" / "b.bin", small);
    WriteFile(dir / "in2" / "sub", small);
    WriteFile(dir / "in3" / "A.TXT", small);
    const Bytes old = Archive({{B("a.txt"), a}, {B("sub\\b.bin"), big}, {B("dup.txt"), one}, {B("dup.txt"), two}});
    const std::vector<Expected> unchanged{};
    const Case cases[] = {
        {"add a new file", {"-C", "in", "c.txt"}, 0,
         {{"a.txt", a, 0}, {"sub\\b.bin", big, 1}, {"dup.txt", one, 2}, {"dup.txt", two, 3}, {"c.txt", fresh}}},
        {"add replaces in place", {"-C", "in", "a.txt", "c.txt"}, 0,
         {{"a.txt", small}, {"sub\\b.bin", big, 1}, {"dup.txt", one, 2}, {"dup.txt", two, 3}, {"c.txt", fresh}},
         "replaced entry 0 'a.txt'"},
        {"add replaces the first of a repeated name", {"-C", "in", "dup.txt"}, 0,
         {{"a.txt", a, 0}, {"sub\\b.bin", big, 1}, {"dup.txt", small}, {"dup.txt", two, 3}},
         "replaced entry 2 'dup.txt'"},
        {"add through a folder", {"-C", "in", "sub"}, 0,
         {{"a.txt", a, 0}, {"sub\\b.bin", small}, {"dup.txt", one, 2}, {"dup.txt", two, 3}}},
        {"add a file where a folder is", {"-C", "in2", "sub"}, 1, unchanged, "needs this path as a folder"},
        {"delete a folder", {"sub"}, 0, {{"a.txt", a, 0}, {"dup.txt", one, 2}, {"dup.txt", two, 3}}},
        {"delete every entry of a name", {"dup.txt"}, 0, {{"a.txt", a, 0}, {"sub\\b.bin", big, 1}}},
        {"delete by pattern", {"*.txt"}, 0, {{"sub\\b.bin", big, 1}}},
        {"delete what is not there", {"a.txt", "nothere"}, 1, unchanged, "no entry matches 'nothere'"},
        {"rename into a folder", {"a.txt", "doc/a.txt"}, 0,
         {{"doc\\a.txt", a}, {"sub\\b.bin", big, 1}, {"dup.txt", one, 2}, {"dup.txt", two, 3}}},
        {"rename onto an entry", {"a.txt", "sub\\b.bin"}, 1, unchanged, "exists"},
        {"rename onto a folder", {"a.txt", "sub"}, 1, unchanged, "'sub' and entry 1 'sub\\b.bin': one is a file where"},
        {"rename to a refused name", {"a.txt", "con.txt"}, 1, unchanged, "refused"},
        {"rename what is not there", {"nothere", "x"}, 1, unchanged, "no entry named 'nothere'"},
        {"rename a folder", {"sub", "lib"}, 0,
         {{"a.txt", a, 0}, {"lib\\b.bin", big}, {"dup.txt", one, 2}, {"dup.txt", two, 3}}},
        {"rename a folder into a new one", {"sub/", "x/y"}, 0,
         {{"a.txt", a, 0}, {"x\\y\\b.bin", big}, {"dup.txt", one, 2}, {"dup.txt", two, 3}}},
        {"rename a folder onto a file", {"sub", "a.txt"}, 1, unchanged, "a.txt"},
        {"rename with a separator at the end names only a folder", {"a.txt/", "b.txt"}, 1, unchanged,
         "no entry named 'a.txt/'"},
        {"rename to an absolute name", {"a.txt", "/abs.txt"}, 1, unchanged, "not absolute"},
        {"rename onto a name that differs only in case", {"a.txt", "DUP.txt"}, 1, unchanged,
         "entry 2 'dup.txt' exists and 'DUP.txt' would be the same file on Windows"},
        {"rename to another case of its own name", {"a.txt", "A.txt"}, 0,
         {{"A.txt", a}, {"sub\\b.bin", big, 1}, {"dup.txt", one, 2}, {"dup.txt", two, 3}}},
        {"add replaces a name that differs only in case", {"-C", "in3", "A.TXT"}, 0,
         {{"A.TXT", small}, {"sub\\b.bin", big, 1}, {"dup.txt", one, 2}, {"dup.txt", two, 3}},
         "replaced entry 0 'a.txt'"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        WriteFile(dir / "x.qvr", old);
        fs::permissions(dir / "x.qvr", fs::perms::owner_read | fs::perms::owner_write);
        std::vector<std::string> args{c.what[0] == 'a' ? "add" : c.what[0] == 'd' ? "delete" : "rename", "x.qvr"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const auto run = RunQvr(args, dir);
        EXPECT_EQ(run.status, c.status) << run.err;
        EXPECT_NE(run.err.find(c.says), std::string::npos) << run.err;
        EXPECT_TRUE(Leftovers(dir).empty());
        const Bytes now = ReadFile(dir / "x.qvr");
        if (c.entries.empty()) {
            EXPECT_EQ(now, old);
            continue;
        }
        EXPECT_EQ(fs::status(dir / "x.qvr").permissions(), fs::perms::owner_read | fs::perms::owner_write);
        const auto before = ReadStored(old), after = ReadStored(now);
        ASSERT_EQ(after.size(), c.entries.size());
        std::map<std::string, Bytes> firstOfEach;
        for (std::size_t i = 0; i < after.size(); ++i) {
            const auto& want = c.entries[i];
            EXPECT_EQ(after[i].name, want.name) << "entry " << i;
            EXPECT_EQ(after[i].content, want.content) << "entry " << i;
            if (want.keeps >= 0) {
                EXPECT_EQ(after[i].storedName, before[static_cast<std::size_t>(want.keeps)].storedName);
                EXPECT_EQ(after[i].storedData, before[static_cast<std::size_t>(want.keeps)].storedData);
            }
            auto path = want.name;
            std::replace(path.begin(), path.end(), '\\', '/');
            firstOfEach.try_emplace(path, want.content);
        }
        fs::remove_all(dir / "out");
        const auto extracted = RunQvr({"extract", "-q", "x.qvr", "-C", "out"}, dir);
        EXPECT_EQ(extracted.status, after.size() == firstOfEach.size() ? 0 : 1) << extracted.err;
        EXPECT_EQ(Tree(dir / "out"), firstOfEach);
    }
}

TEST_F(Change, AddMakesAMissingArchiveAndDamagedOnesAreNotChanged) {
    WriteFile(dir / "in" / "a.txt", B("a"));
    ASSERT_EQ(RunQvr({"add", "new.qvr", "-C", "in", "a.txt"}, dir).status, 0);
    EXPECT_EQ(ReadStored(ReadFile(dir / "new.qvr")).at(0).name, "a.txt");

    Bytes cut = Archive({{B("a.txt"), Pattern(1000, 1)}, {B("b.txt"), Pattern(1000, 2)}});
    cut.erase(cut.end() - 10, cut.end());
    WriteFile(dir / "cut.qvr", cut);
    const auto test = RunQvr({"test", "cut.qvr"}, dir);
    for (const std::vector<std::string>& args : {std::vector<std::string>{"add", "cut.qvr", "-C", "in", "a.txt"},
                                                 {"delete", "cut.qvr", "a.txt"},
                                                 {"rename", "cut.qvr", "a.txt", "c.txt"}}) {
        SCOPED_TRACE(args[0]);
        const auto run = RunQvr(args, dir);
        EXPECT_EQ(run.status, 2);
        EXPECT_NE(run.err.find("damaged: entry 1 'b.txt': data run to byte"), std::string::npos) << run.err;
        EXPECT_NE(test.err.find("entry 1 'b.txt': data run to byte"), std::string::npos) << test.err;
        EXPECT_EQ(ReadFile(dir / "cut.qvr"), cut);
        EXPECT_TRUE(Leftovers(dir).empty());
    }
}

}  // namespace
}  // namespace qvr::tooltest

namespace qvr::tooltest {
namespace {

// A CP932 name whose second byte is 0x5C, named in UTF-8 on the command line.
TEST_F(Change, RenameUnderAnEncoding) {
    const Bytes hyou{0x95, 0x5C, '.', 't', 'x', 't'};  // 表.txt
    WriteFile(dir / "j.qvr", Archive({{hyou, Pattern(80, 1)}, {B("b.txt"), B("b")}}));
    const auto run = RunQvr({"rename", "--encoding", "CP932", "j.qvr", "\xe8\xa1\xa8.txt", "\xe6\x96\xb0/b.txt"}, dir);
    EXPECT_EQ(run.status, 0) << run.err;
    const auto after = ReadStored(ReadFile(dir / "j.qvr"));
    ASSERT_EQ(after.size(), 2u);
    EXPECT_EQ(after[0].name, std::string("\x90\x56\\b.txt"));  // 新\b.txt
    EXPECT_EQ(after[0].content, Pattern(80, 1));
}

// Every reader of these archives runs on Windows, where names that differ
// only in case are one file: create refuses to store both.
TEST_F(Change, CreateRefusesNamesThatDifferOnlyInCase) {
    WriteFile(dir / "in" / "Case.txt", B("upper"));
    WriteFile(dir / "in" / "case.txt", B("lower"));
    const auto run = RunQvr({"create", "c.qvr", "-C", "in", "."}, dir);
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("'Case.txt' and 'case.txt' differ only in case"), std::string::npos) << run.err;
    EXPECT_FALSE(fs::exists(dir / "c.qvr"));
}

}  // namespace
}  // namespace qvr::tooltest
