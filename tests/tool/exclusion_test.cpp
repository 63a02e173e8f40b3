// --exclude: a pattern without a separator matches any part of a name, one
// with a separator matches from the start; the same for every command.
#include "names/selection.h"
#include "tool_test_support.h"

namespace qvr::tooltest {
namespace {

TEST(Exclusion, PartsAnywhereAndPathsFromTheStart) {
    const struct {
        std::vector<std::string> patterns;
        bool ignoreCase;
        std::string name;
        bool excluded;
    } rows[] = {
        {{".git"}, false, "t1\\.git\\x", true},        // a folder anywhere, with what is under it
        {{".git"}, false, ".git", true},
        {{".git"}, false, "t1\\.gitignore", false},    // a whole part, not a prefix
        {{"*.gz"}, false, "t1\\sub\\b.gz", true},
        {{"*.gz"}, false, "t1\\a.txt", false},
        {{"*.gz"}, false, "old.gz\\a.txt", true},
        {{"README*"}, false, "doc\\bash\\README", true},
        {{"README*"}, false, "doc\\README.md", true},
        {{"README*"}, false, "doc\\xREADME", false},
        {{"sub"}, true, "T1\\SUB\\c.txt", true},
        {{"sub"}, false, "T1\\SUB\\c.txt", false},
        {{"tree/cache"}, false, "tree\\cache\\c.txt", true},  // from the start
        {{"tree/cache"}, false, "x\\tree\\cache\\c.txt", false},
        {{"tree/cache"}, false, "tree\\cache2", false},
        {{"tree\\*.bak"}, false, "tree\\s\\a.bak", true},    // '*' crosses separators from the start
        {{"tree/*.bak"}, false, "x\\tree\\a.bak", false},
        {{"./sub"}, false, "sub\\x", true},                 // a separator anchors even "./"
        {{"./sub"}, false, "a\\sub\\x", false},
        {{"sub/"}, false, "sub\\x", true},
        {{"*.bak", "tree/cache"}, false, "a\\b.bak", true},
        {{"*.bak", "tree/cache"}, false, "tree\\cache\\c", true},
        {{"*.bak", "tree/cache"}, false, "a\\b.txt", false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.patterns.front() + " on " + row.name);
        cli::Exclusion exclusion(row.patterns, row.ignoreCase, cli::NameCharacters{});
        EXPECT_TRUE(exclusion.Any());
        EXPECT_EQ(exclusion.Excludes(B(row.name)), row.excluded);
    }
    EXPECT_FALSE(cli::Exclusion({}, false).Any());
}

class ExcludeEverywhere : public Scratch {};

// One rule for every command: a nested .git and every *.gz are left out by
// create and add as they walk, and by list, extract and delete as they choose.
TEST_F(ExcludeEverywhere, OneRuleForEveryCommand) {
    WriteFile(dir / "tree" / "a.txt", B("a"));
    WriteFile(dir / "tree" / "sub" / ".git" / "HEAD", B("h"));
    WriteFile(dir / "tree" / "sub" / "b.gz", B("b"));
    WriteFile(dir / "tree" / "sub" / "c.txt", B("c"));
    WriteFile(dir / "more" / ".git" / "config", B("g"));
    WriteFile(dir / "more" / "d.txt", B("d"));
    const struct {
        std::vector<std::string> args;
        std::string out;
    } steps[] = {
        {{"create", "-v", "x.qvr", "tree", "--exclude", ".git", "--exclude=*.gz"}, "tree\\a.txt\ntree\\sub\\c.txt\n"},
        {{"add", "-v", "x.qvr", "--exclude", ".git", "more"}, "more\\d.txt\n"},
        {{"create", "all.qvr", "tree", "more"}, ""},
        {{"list", "all.qvr", "--exclude", ".git", "--exclude", "*.gz"},
         "tree\\a.txt\ntree\\sub\\c.txt\nmore\\d.txt\n"},
        {{"list", "all.qvr", "--exclude", "tree/sub"}, "tree\\a.txt\nmore\\.git\\config\nmore\\d.txt\n"},
        {{"extract", "-v", "all.qvr", "--exclude", "sub", "-C", "out"}, "tree\\a.txt\nmore\\.git\\config\nmore\\d.txt\n"},
        {{"delete", "-v", "all.qvr", "--exclude", ".git", "more"}, "more\\d.txt\n"},
        {{"list", "all.qvr"}, "tree\\a.txt\ntree\\sub\\.git\\HEAD\ntree\\sub\\b.gz\ntree\\sub\\c.txt\nmore\\.git\\config\n"},
    };
    for (const auto& step : steps) {
        std::string line;
        for (const auto& a : step.args) line += a + " ";
        SCOPED_TRACE(line);
        const auto run = RunQvr(step.args, dir);
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.out, step.out);
    }
}

}  // namespace
}  // namespace qvr::tooltest
