// The everyday options, run in order over one tree: each step's exit status
// and standard output are what a user sees.
#include <functional>

#include "commands/commands.h"
#include "help_format.h"
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

namespace qvr::cli {
namespace {

using Check = std::function<bool(const CommandLine&)>;

struct OptionCase {
    std::vector<std::string> tokens;  // the option and its value, as typed
    Check took;                       // what it must have set
};

struct CommandCase {
    std::string command;
    std::vector<std::string> positionals;
    Check positionalsKept;  // the positionals, untouched by any option among them
    std::vector<OptionCase> options;
};

// Options shared by several commands, checked through the command's own options.
template <typename Get>
std::vector<OptionCase> CommonCases(Get get) {
    return {{{"-q"}, [=](const CommandLine& l) { return get(l).common.quiet; }},
            {{"--encoding", "CP932"}, [=](const CommandLine& l) { return get(l).common.encoding == "CP932"; }},
            {{"--encoding=CP932"}, [=](const CommandLine& l) { return get(l).common.encoding == "CP932"; }}};
}

template <typename Get>
std::vector<OptionCase> SelectCases(Get get) {
    using V = std::vector<std::string>;
    return {{{"--exclude", "*.gz"}, [=](const CommandLine& l) { return get(l).excludes == V{"*.gz"}; }},
            {{"--exclude=*.gz"}, [=](const CommandLine& l) { return get(l).excludes == V{"*.gz"}; }},
            {{"--exclude", "a", "--exclude", "b"}, [=](const CommandLine& l) { return get(l).excludes == V{"a", "b"}; }},
            {{"-i"}, [=](const CommandLine& l) { return get(l).ignoreCase; }},
            {{"--no-wildcards"}, [=](const CommandLine& l) { return get(l).noWildcards; }}};
}

template <typename Get>
std::vector<OptionCase> InputCases(Get get) {
    using V = std::vector<std::string>;
    return {{{"--exclude", "*.gz"}, [=](const CommandLine& l) { return get(l).excludes == V{"*.gz"}; }},
            {{"--exclude=.git"}, [=](const CommandLine& l) { return get(l).excludes == V{".git"}; }},
            {{"-P"}, [=](const CommandLine& l) { return get(l).noFollow; }},
            {{"--ignore-failed-read"}, [=](const CommandLine& l) { return get(l).ignoreFailedRead; }},
            {{"-T", "list"}, [=](const CommandLine& l) { return get(l).filesFrom.path == "list"; }},
            {{"--null"}, [=](const CommandLine& l) { return get(l).nullSeparated; }},
            {{"-v"}, [=](const CommandLine& l) { return get(l).verbose; }}};
}

template <typename Get>
std::vector<OptionCase> ChangeCases(Get get) {
    return {{{"--no-wait"}, [=](const CommandLine& l) { return get(l).change.noWait; }},
            {{"--break-links"}, [=](const CommandLine& l) { return get(l).change.breakLinks; }}};
}

template <typename T>
std::vector<T> Join(std::initializer_list<std::vector<T>> parts) {
    std::vector<T> out;
    for (const auto& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

std::vector<CommandCase> CommandCases() {
    using V = std::vector<std::string>;
    using P = std::vector<InputPath>;
    auto list = [](const CommandLine& l) -> const ListOptions& { return l.list; };
    auto extract = [](const CommandLine& l) -> const ExtractOptions& { return l.extract; };
    auto create = [](const CommandLine& l) -> const CreateOptions& { return l.create; };
    auto add = [](const CommandLine& l) -> const CreateOptions& { return l.add; };
    auto del = [](const CommandLine& l) -> const DeleteOptions& { return l.del; };
    auto rename = [](const CommandLine& l) -> const RenameOptions& { return l.rename; };
    std::vector<CommandCase> cases{
        {"list", {"t.qvr", "t1/sub"},
         [](const CommandLine& l) { return l.list.archive == "t.qvr" && l.list.select.names == V{"t1/sub"}; },
         Join<OptionCase>({CommonCases(list), SelectCases([](const CommandLine& l) { return l.list.select; }),
                           {{{"-l"}, [](const CommandLine& l) { return l.list.longFormat; }},
                            {{"--json"}, [](const CommandLine& l) { return l.list.json; }}}})},
        {"x", {"t.qvr", "a", "b"},
         [](const CommandLine& l) { return l.extract.archive == "t.qvr" && l.extract.select.names == V{"a", "b"}; },
         Join<OptionCase>(
             {CommonCases(extract), SelectCases([](const CommandLine& l) { return l.extract.select; }),
              {{{"--index", "3"}, [](const CommandLine& l) { return l.extract.select.indices == std::vector<std::uint32_t>{3}; }},
               {{"--index=3", "--index", "5"},
                [](const CommandLine& l) { return l.extract.select.indices == std::vector<std::uint32_t>{3, 5}; }},
               {{"-C", "out"}, [](const CommandLine& l) { return l.extract.target == "out"; }},
               {{"-O"}, [](const CommandLine& l) { return l.extract.toStdout; }},
               {{"--overwrite"}, [](const CommandLine& l) { return l.extract.overwrite; }},
               {{"-k"}, [](const CommandLine& l) { return !l.extract.overwrite; }},
               {{"-v"}, [](const CommandLine& l) { return l.extract.verbose; }},
               {{"--strip-components", "1"}, [](const CommandLine& l) { return l.extract.stripComponents == 1; }},
               {{"-j", "2"}, [](const CommandLine& l) { return l.extract.threads == 2; }}}})},
        {"create", {"ex.qvr", "t1", "t2"},
         [](const CommandLine& l) { return l.create.archive == "ex.qvr" && l.create.inputs == P{{"t1", ""}, {"t2", ""}}; },
         Join<OptionCase>({CommonCases(create), InputCases(create),
                           {{{"--overwrite"}, [](const CommandLine& l) { return l.create.overwrite; }}}})},
        {"a", {"ex.qvr", "t1", "t2"},
         [](const CommandLine& l) { return l.add.archive == "ex.qvr" && l.add.inputs == P{{"t1", ""}, {"t2", ""}}; },
         Join<OptionCase>({CommonCases(add), InputCases(add), ChangeCases(add)})},
        {"test", {"t.qvr"}, [](const CommandLine& l) { return l.test.archive == "t.qvr"; },
         CommonCases([](const CommandLine& l) -> const TestOptions& { return l.test; })},
        {"delete", {"t.qvr", "a", "b"},
         [](const CommandLine& l) { return l.del.archive == "t.qvr" && l.del.select.names == V{"a", "b"}; },
         Join<OptionCase>({CommonCases(del), ChangeCases(del), SelectCases([](const CommandLine& l) { return l.del.select; }),
                           {{{"--index", "3"}, [](const CommandLine& l) { return l.del.select.indices == std::vector<std::uint32_t>{3}; }},
                            {{"-v"}, [](const CommandLine& l) { return l.del.verbose; }}}})},
        {"rename", {"t.qvr", "old", "new"},
         [](const CommandLine& l) { return l.rename.archive == "t.qvr" && l.rename.from == "old" && l.rename.to == "new"; },
         Join<OptionCase>({CommonCases(rename), ChangeCases(rename)})},
    };
#ifdef QVR_HAVE_MOUNT
    cases.push_back({"mount", {"a.qvr", "dir"},
                     [](const CommandLine& l) { return l.mount.archive == "a.qvr" && l.mount.mountPoint == "dir"; },
                     Join<OptionCase>({CommonCases([](const CommandLine& l) -> const MountOptions& { return l.mount; }),
                                       {{{"-f"}, [](const CommandLine& l) { return l.mount.foreground; }}}})});
    cases.push_back({"unmount", {"dir"}, [](const CommandLine& l) { return l.unmount.mountPoint == "dir"; },
                     {{{"-q"}, [](const CommandLine& l) { return l.unmount.common.quiet; }}}});
#endif
    return cases;
}

// Each option of each command, before, between and after the positionals:
// it takes its value and nothing more, and the positionals stay what they are.
TEST(OptionPositions, EveryOptionAnywhere) {
    const std::map<std::string, std::string> fullName{{"x", "extract"}, {"a", "add"}};
    for (const auto& c : CommandCases()) {
        for (const auto& option : c.options) {
            for (std::size_t at = 0; at <= c.positionals.size(); ++at) {
                std::vector<std::string> args{c.command};
                args.insert(args.end(), c.positionals.begin(), c.positionals.end());
                args.insert(args.begin() + 1 + static_cast<std::ptrdiff_t>(at), option.tokens.begin(),
                            option.tokens.end());
                std::string typed;
                for (const auto& a : args) typed += a + " ";
                SCOPED_TRACE(typed);
                const auto line = Parse(args);
                ASSERT_FALSE(line.finished.has_value());
                EXPECT_EQ(line.command, fullName.contains(c.command) ? fullName.at(c.command) : c.command);
                EXPECT_TRUE(c.positionalsKept(line));
                EXPECT_TRUE(option.took(line));
            }
        }
    }
}

// The command lines users typed, with what they meant.
TEST(OptionPositions, WhatPeopleType) {
    using P = std::vector<InputPath>;
    const struct {
        std::vector<std::string> args;
        Check meant;
    } lines[] = {
        {{"list", "t.qvr", "--exclude", "*.gz", "t1/sub"},
         [](const CommandLine& l) { return l.list.select.names == std::vector<std::string>{"t1/sub"}; }},
        {{"create", "--exclude", "*.gz", "ex.qvr", "t1"},
         [](const CommandLine& l) { return l.create.archive == "ex.qvr" && l.create.inputs == P{{"t1", ""}}; }},
        {{"extract", "--index", "3", "t.qvr", "-O"},
         [](const CommandLine& l) { return l.extract.archive == "t.qvr" && l.extract.toStdout; }},
        {{"create", "mc.qvr", "-C", "t1", "sub", "-C", "/usr/share/doc", "bash"},
         [](const CommandLine& l) { return l.create.inputs == P{{"sub", "t1"}, {"bash", "/usr/share/doc"}}; }},
        // A relative -C is taken from the one before, as tar does.
        {{"add", "n.qvr", "-C", "a", "x", "-C", "b", "y", "--", "-z"},
         [](const CommandLine& l) { return l.add.inputs == P{{"x", "a"}, {"y", "a/b"}, {"-z", "a/b"}}; }},
        {{"create", "x.qvr", "top", "-C", "tree", "-T", "list"},
         [](const CommandLine& l) {
             return l.create.inputs == P{{"top", ""}} && l.create.filesFrom == InputPath{"list", "tree"};
         }},
        {{"create", "d.qvr", "a.qvr", "--", "-n", "--exclude"},
         [](const CommandLine& l) { return l.create.inputs == P{{"a.qvr", ""}, {"-n", ""}, {"--exclude", ""}}; }},
        {{"list", "--", "-a.qvr", "-n"},
         [](const CommandLine& l) {
             return l.list.archive == "-a.qvr" && l.list.select.names == std::vector<std::string>{"-n"};
         }},
        {{"rename", "t.qvr", "--", "-old", "-new"},
         [](const CommandLine& l) { return l.rename.from == "-old" && l.rename.to == "-new"; }},
        // Other commands' names after the command are names like any other.
        {{"list", "t.qvr", "extract", "x", "test"},
         [](const CommandLine& l) {
             return l.command == "list" && l.list.select.names == std::vector<std::string>{"extract", "x", "test"};
         }},
        {{"x", "-O", "t.qvr", "unmount", "-C", "out"},
         [](const CommandLine& l) {
             return l.command == "extract" && l.extract.select.names == std::vector<std::string>{"unmount"} &&
                    l.extract.target == "out";
         }},
    };
    for (const auto& typed : lines) {
        std::string text;
        for (const auto& a : typed.args) text += a + " ";
        SCOPED_TRACE(text);
        const auto line = Parse(typed.args);
        ASSERT_FALSE(line.finished.has_value());
        EXPECT_TRUE(typed.meant(line));
    }
}

}  // namespace
}  // namespace qvr::cli

namespace qvr::cli {
namespace {

TEST(HelpText, WrapsWordsAndKeepsLineBreaks) {
    const struct {
        std::string text;
        std::size_t width;
        std::string wrapped;
    } rows[] = {
        {"one two three", 7, "one two\nthree"},
        {"one two three", 13, "one two three"},
        {"a\nb c", 3, "a\nb c"},
        {"longword x", 4, "longword\nx"},
        {"é é é", 3, "é é\né"},  // columns are characters, not bytes
        {"", 10, ""},
    };
    for (const auto& row : rows) EXPECT_EQ(WrapWords(row.text, row.width), row.wrapped) << row.text;
}

}  // namespace
}  // namespace qvr::cli
