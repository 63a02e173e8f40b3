// The everyday options, run in order over one tree: each step's exit status
// and standard output are what a user sees.
#include "tool_test_support.h"

namespace qvr::tooltest {
namespace {

class Options : public Scratch {};

TEST_F(Options, ExcludeListsIndexStripAndVerbose) {
    WriteFile(dir / "tree" / "a.txt", B("a"));
    WriteFile(dir / "tree" / "sub" / "b.txt", B("b"));
    WriteFile(dir / "tree" / "skip.bak", B("s"));
    WriteFile(dir / "tree" / "cache" / "c.txt", B("c"));
    WriteFile(dir / "list", B("tree/a.txt\r\ntree/cache\n\n"));
    WriteFile(dir / "list0", B(std::string_view("tree/sub\0", 9)));
    WriteFile(dir / "dup.qvr", Archive({{B("a.txt"), B("one")}, {B("a.txt"), B("two")}, {B("sub\\b.txt"), B("b")}}));
    const struct {
        std::vector<std::string> args;
        int status;
        std::string out;
    } steps[] = {
        {{"c", "-v", "x.qvr", "tree", "--exclude", "*.bak", "--exclude", "tree/cache"}, 0, "tree\\a.txt\ntree\\sub\\b.txt\n"},
        {{"l", "x.qvr"}, 0, "tree\\a.txt\ntree\\sub\\b.txt\n"},
        {{"create", "-v", "t.qvr", "-T", "list"}, 0, "tree\\a.txt\ntree\\cache\\c.txt\n"},
        {{"create", "-v", "n.qvr", "--null", "--files-from", "list0"}, 0, "tree\\sub\\b.txt\n"},
        {{"a", "-v", "x.qvr", "tree", "--exclude", "*.txt"}, 0, "tree\\skip.bak\n"},
        {{"list", "x.qvr", "--exclude", "tree/sub"}, 0, "tree\\a.txt\ntree\\skip.bak\n"},
        {{"list", "dup.qvr", "--exclude", "sub"}, 0, "a.txt\na.txt\n"},
        {{"x", "-O", "dup.qvr", "--index", "1"}, 0, "two"},
        {{"extract", "-v", "dup.qvr", "--index", "1", "-C", "one"}, 0, "a.txt\n"},
        {{"extract", "dup.qvr", "--index", "5", "-C", "none"}, 1, ""},
        {{"extract", "dup.qvr", "--strip-components", "1", "-C", "strip"}, 0, ""},
        {{"d", "-v", "dup.qvr", "--index", "0"}, 0, "a.txt\n"},
        {{"extract", "-O", "dup.qvr", "a.txt"}, 0, "two"},
    };
    for (const auto& step : steps) {
        std::string line;
        for (const auto& a : step.args) line += a + " ";
        SCOPED_TRACE(line);
        const auto run = RunQvr(step.args, dir);
        EXPECT_EQ(run.status, step.status) << run.err;
        EXPECT_EQ(run.out, step.out);
    }
    EXPECT_EQ(Tree(dir / "one"), (std::map<std::string, Bytes>{{"a.txt", B("two")}}));
    EXPECT_FALSE(fs::exists(dir / "none"));
    EXPECT_EQ(Tree(dir / "strip"), (std::map<std::string, Bytes>{{"b.txt", B("b")}}));
    EXPECT_NE(RunQvr({"extract", "dup.qvr", "--index", "5"}, dir).err.find("no entry has index 5"), std::string::npos);
}

}  // namespace
}  // namespace qvr::tooltest
