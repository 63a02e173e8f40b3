// What extraction and creation refuse: dangerous names, existing files,
// symbolic links, and the format's limits.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tool_test_support.h"

namespace qvr::tooltest {
namespace {

class Refusals : public Scratch {};

TEST_F(Refusals, DangerousNamesAreRefusedAndTheRestExtracted) {
    WriteFile(dir / "d.qvr", Archive({{B("../escaped"), B("x")},
                                      {B("/tmp/absolute"), B("x")},
                                      {B("C:\\drive"), B("x")},
                                      {B("\\\\server\\share\\unc"), B("x")},
                                      {B("a\\..\\..\\climb"), B("x")},
                                      {B("stream:name"), B("x")},
                                      {B(""), B("x")},
                                      {B("good.txt"), B("kept")},
                                      {Bytes{'n', 'u', 'l', 0, 'x'}, B("x")}}));
    const auto r = RunQvr({"extract", "d.qvr", "-C", "out/inner"}, dir);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(Tree(dir / "out"), (std::map<std::string, Bytes>{{"inner/good.txt", B("kept")}}));
    EXPECT_FALSE(fs::exists(dir / "escaped"));
    EXPECT_FALSE(fs::exists(dir / "out" / "escaped"));
    EXPECT_FALSE(fs::exists(dir / "climb"));
    // Each refusal names the archive and the entry.
    EXPECT_NE(r.err.find("d.qvr: entry 0 '../escaped': refused"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("entry 4 'a\\..\\..\\climb': refused"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("entry 8 'nul\\x00x': refused"), std::string::npos) << r.err;

    const auto t = RunQvr({"test", "d.qvr"}, dir);
    EXPECT_EQ(t.status, 1);
    EXPECT_NE(t.err.find("entry 1 '/tmp/absolute': name would be refused"), std::string::npos) << t.err;
}

TEST_F(Refusals, ExistingFilesAreKeptUnlessOverwriteIsGiven) {
    WriteFile(dir / "k.qvr", Archive({{B("a.txt"), B("new a")}, {B("b.txt"), B("new b")}}));
    WriteFile(dir / "out" / "a.txt", B("old a"));
    // Keeping is what was asked for, not a failure: one line, status 0.
    auto r = RunQvr({"extract", "k.qvr", "-C", "out"}, dir);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "qvr: k.qvr: kept 1 existing file; --overwrite replaces them\n");
    EXPECT_EQ(ReadFile(dir / "out" / "a.txt"), B("old a"));
    EXPECT_EQ(ReadFile(dir / "out" / "b.txt"), B("new b"));

    r = RunQvr({"extract", "--keep", "-v", "k.qvr", "-C", "out"}, dir);
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.err.find("entry 1 'b.txt': exists; kept"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("kept 2 existing files"), std::string::npos) << r.err;
    r = RunQvr({"extract", "--overwrite", "k.qvr", "-C", "out"}, dir);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(ReadFile(dir / "out" / "a.txt"), B("new a"));
    EXPECT_EQ(RunQvr({"extract", "--overwrite", "--keep", "k.qvr"}, dir).status, 2);
    EXPECT_TRUE(Leftovers(dir).empty());
}

TEST_F(Refusals, DuplicateNamesKeepTheFirstWithOrWithoutOverwrite) {
    WriteFile(dir / "dup.qvr", Archive({{B("same"), B("first")}, {B("same"), B("second")}, {B("./same"), B("third")}}));
    for (const char* mode : {"--keep", "--overwrite"}) {
        const auto r = RunQvr({"extract", mode, "dup.qvr", "-C", mode}, dir);
        EXPECT_EQ(r.status, 1) << mode;
        EXPECT_EQ(ReadFile(dir / mode / "same"), B("first")) << mode;
        EXPECT_EQ(r.err, "qvr: dup.qvr: 2 entries repeat the name of an earlier entry (entry 1 'same' repeats entry "
                         "0); the first entry of each name was extracted\n");
    }
}

TEST_F(Refusals, NothingIsWrittenThroughSymbolicLinks) {
    fs::create_directories(dir / "outside");
    WriteFile(dir / "outside" / "victim", B("untouched"));
    fs::create_directories(dir / "out");
    fs::create_directory_symlink(dir / "outside", dir / "out" / "linkdir");
    fs::create_symlink(dir / "outside" / "victim", dir / "out" / "linkfile");
    WriteFile(dir / "s.qvr", Archive({{B("linkdir\\victim"), B("evil")},
                                      {B("linkdir\\new"), B("evil")},
                                      {B("linkfile"), B("evil")},
                                      {B("fine"), B("ok")}}));

    auto r = RunQvr({"extract", "s.qvr", "-C", "out"}, dir);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("symbolic link; not followed"), std::string::npos) << r.err;
    EXPECT_EQ(ReadFile(dir / "outside" / "victim"), B("untouched"));
    EXPECT_FALSE(fs::exists(dir / "outside" / "new"));
    EXPECT_TRUE(fs::is_symlink(dir / "out" / "linkfile"));
    EXPECT_EQ(ReadFile(dir / "out" / "fine"), B("ok"));

    // Replacing replaces the link itself, never the file it points to.
    r = RunQvr({"extract", "--overwrite", "s.qvr", "linkfile", "-C", "out"}, dir);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_FALSE(fs::is_symlink(dir / "out" / "linkfile"));
    EXPECT_EQ(ReadFile(dir / "out" / "linkfile"), B("evil"));
    EXPECT_EQ(ReadFile(dir / "outside" / "victim"), B("untouched"));
}

TEST_F(Refusals, CreateRefusesTooManyEntriesAndLeavesNothing) {
    // 65536 empty files: one entry more than an archive can hold. (One file
    // named many times is stored once.)
    fs::create_directories(dir / "many");
    for (int i = 0; i < 65536; ++i) {
        const auto path = dir / "many" / std::to_string(100000 + i);
        close(open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600));
    }
    const auto r = RunQvr({"create", "big.qvr", "-C", "many", "."}, dir);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("65536 files: an archive holds at most 65535 entries"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(dir / "big.qvr"));
    EXPECT_TRUE(Leftovers(dir).empty());

    fs::remove(dir / "many" / "100000");
    EXPECT_EQ(RunQvr({"create", "big.qvr", "-C", "many", ".", "100001", "./100002"}, dir).status, 0);
    const auto t = RunQvr({"test", "-q", "big.qvr"}, dir);
    EXPECT_EQ(t.status, 0);
    EXPECT_EQ(t.err, "");
    EXPECT_EQ(RunQvr({"list", "big.qvr"}, dir).out.size(), 65535u * 7);
}

TEST_F(Refusals, CreateRefusesLongNamesAndOffsetsPast4GiB) {
    const std::string folder(200, 'd'), file(60, 'f');  // 261 bytes with the separator
    WriteFile(dir / "long" / folder / file, B("x"));
    auto r = RunQvr({"create", "l.qvr", "-C", "long", "."}, dir);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("its name is 261 bytes long"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(dir / "l.qvr"));

    // Sparse files: two of 2 GiB put the third's data past 4 GiB.
    fs::create_directories(dir / "huge");
    for (const char* name : {"a", "b", "c"}) {
        std::ofstream(dir / "huge" / name).close();
        fs::resize_file(dir / "huge" / name, std::uintmax_t{2} << 30);
    }
    r = RunQvr({"create", "h.qvr", "-C", "huge", "."}, dir);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("past the 4 GiB"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(dir / "h.qvr"));
    EXPECT_TRUE(Leftovers(dir).empty());
}

TEST_F(Refusals, CreateKeepsAnExistingArchiveUnlessOverwriteIsGiven) {
    WriteFile(dir / "in.txt", B("in"));
    WriteFile(dir / "a.qvr", B("precious"));
    EXPECT_EQ(RunQvr({"create", "a.qvr", "in.txt"}, dir).status, 2);
    EXPECT_EQ(ReadFile(dir / "a.qvr"), B("precious"));
    EXPECT_EQ(RunQvr({"create", "--overwrite", "a.qvr", "in.txt"}, dir).status, 0);
    EXPECT_EQ(RunQvr({"list", "a.qvr"}, dir).out, "in.txt\n");
    EXPECT_EQ(RunQvr({"create", "b.qvr", "../x"}, dir).status, 2);
}

}  // namespace
}  // namespace qvr::tooltest

namespace qvr::tooltest {
namespace {

class SkippedInputs : public Scratch {};

// What cannot be read refuses the whole create unless --ignore-failed-read
// skips it; what is not a file or folder is skipped. Every skipped input is
// named, the archive holds the rest, and the exit status is 1.
TEST_F(SkippedInputs, NamedAndExitOne) {
    WriteFile(dir / "tree" / "a.txt", B("a"));
    fs::create_symlink("gone", dir / "tree" / "dangling");
    WriteFile(dir / "plain" / "b.txt", B("b"));
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
    const struct {
        std::vector<std::string> args;
        std::string message;    // a line of standard error
        const char* archive;    // what it holds afterwards, as list prints; nullptr: not written
    } rows[] = {
        {{"create", "r1.qvr", "tree"}, "qvr: r1.qvr: tree/dangling: symbolic link to nothing\n", nullptr},
        {{"create", "--ignore-failed-read", "r2.qvr", "tree"},
         "qvr: r2.qvr: tree/dangling: symbolic link to nothing; skipped (--ignore-failed-read)\n", "tree\\a.txt\n"},
        {{"create", "r3.qvr", "missing", "plain"}, "qvr: r3.qvr: missing: No such file or directory\n", nullptr},
        {{"create", "r4.qvr", "missing", "plain", "--ignore-failed-read"},
         "qvr: r4.qvr: missing: No such file or directory; skipped (--ignore-failed-read)\n", "plain\\b.txt\n"},
        {{"create", "r5.qvr", "fifo"}, "qvr: r5.qvr: fifo: not a file or folder; skipped\n", ""},
        {{"create", "r6.qvr", "/dev/null", "plain"}, "qvr: r6.qvr: /dev/null: not a file or folder; skipped\n",
         "plain\\b.txt\n"},
        {{"add", "r6.qvr", "fifo", "tree/a.txt"}, "qvr: r6.qvr: fifo: not a file or folder; skipped\n",
         "plain\\b.txt\ntree\\a.txt\n"},
        {{"create", "-P", "r7.qvr", "tree"}, "qvr: r7.qvr: tree/dangling: symbolic link; skipped (--no-follow)\n",
         "tree\\a.txt\n"},
    };
    for (const auto& row : rows) {
        std::string line;
        for (const auto& a : row.args) line += a + " ";
        SCOPED_TRACE(line);
        const auto run = RunQvr(row.args, dir);
        EXPECT_EQ(run.status, 1);
        EXPECT_NE(run.err.find(row.message), std::string::npos) << run.err;
        const auto archive = dir / row.args[row.args[1].starts_with("-") ? 2 : 1];
        if (!row.archive) {
            EXPECT_NE(run.err.find("nothing written"), std::string::npos) << run.err;
            EXPECT_FALSE(fs::exists(archive));
        } else {
            EXPECT_EQ(RunQvr({"list", archive.string()}, dir).out, row.archive);
        }
    }
}

}  // namespace
}  // namespace qvr::tooltest
