// What the tool prints: listings, JSON, help, version, and exit statuses
// for bad usage.
#include <algorithm>
#include <sstream>
#include <string_view>

#include <nlohmann/json.hpp>

#include "tool_test_support.h"

namespace qvr::tooltest {
namespace {

class Output : public Scratch {
protected:
    void SetUp() override {
        Scratch::SetUp();
        WriteFile(dir / "a.qvr", Archive({{B("readme.txt"), B("hello")},
                                          {B("dir\\big.bin"), Pattern(123456, 1)},
                                          {B("bad\xff\x1b[31m"), B("x")},
                                          {B(""), {}}}));
    }
};

TEST_F(Output, JsonIsAnArrayOfValidUtf8Objects) {
    const auto r = RunQvr({"list", "--json", "a.qvr"}, dir);
    ASSERT_EQ(r.status, 0) << r.err;
    const auto json = nlohmann::json::parse(r.out);  // throws on invalid UTF-8
    ASSERT_TRUE(json.is_array());
    ASSERT_EQ(json.size(), 4u);
    EXPECT_EQ(json[0]["index"], 0);
    EXPECT_EQ(json[0]["name"], "readme.txt");
    EXPECT_EQ(json[0]["size"], 5);
    EXPECT_EQ(json[0]["offset"], HeaderSize + EntrySize(10) + EntrySize(11) + EntrySize(9) + EntrySize(0));
    EXPECT_EQ(json[1]["name"], "dir\\big.bin");
    EXPECT_EQ(json[1]["offset"], json[0]["offset"].get<int>() + 5);
    EXPECT_EQ(json[2]["name"], "bad\xef\xbf\xbd\x1b[31m");  // the stray byte as U+FFFD
    EXPECT_EQ(json[2]["nameHex"], "626164ff1b5b33316d");
    EXPECT_EQ(json[3]["name"], "");

    WriteFile(dir / "empty.qvr", Archive({}));
    EXPECT_EQ(nlohmann::json::parse(RunQvr({"list", "--json", "empty.qvr"}, dir).out), nlohmann::json::array());
}

TEST_F(Output, LongListingHasColumnsAndATotal) {
    const auto r = RunQvr({"list", "-l", "a.qvr"}, dir);
    ASSERT_EQ(r.status, 0);
    std::vector<std::string> lines;
    for (std::size_t at = 0, nl; (nl = r.out.find('\n', at)) != std::string::npos; at = nl + 1)
        lines.push_back(r.out.substr(at, nl - at));
    ASSERT_EQ(lines.size(), 6u) << r.out;
    EXPECT_EQ(lines[0], "#    size  offset  name");
    EXPECT_EQ(lines[1], "0       5     104  readme.txt");
    EXPECT_EQ(lines[2], "1  123456     109  dir\\big.bin");
    EXPECT_EQ(lines[5], "4 entries, 123462 bytes");
}

TEST_F(Output, PlainListingPassesBytesToPipes) {
    const auto r = RunQvr({"list", "a.qvr"}, dir);
    EXPECT_EQ(r.out, std::string("readme.txt\ndir\\big.bin\nbad\xff\x1b[31m\n\n"));
    EXPECT_EQ(r.err, "");  // no progress and no noise when stderr is not a terminal
}

TEST_F(Output, StdoutExtractionIsExactBytes) {
    const auto r = RunQvr({"extract", "-O", "a.qvr", "dir\\big.bin"}, dir);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(B(r.out), Pattern(123456, 1));
}

TEST_F(Output, ExitStatusesForUsage) {
    EXPECT_EQ(RunQvr({}, dir).status, 2);
    EXPECT_TRUE(RunQvr({}, dir).err.starts_with("usage: qvr list|l "));
    EXPECT_EQ(RunQvr({"frobnicate"}, dir).status, 2);
    EXPECT_EQ(RunQvr({"list"}, dir).status, 2);
    EXPECT_EQ(RunQvr({"list", "--no-such-option", "a.qvr"}, dir).status, 2);
    EXPECT_EQ(RunQvr({"create", "x.qvr"}, dir).status, 2);
    EXPECT_EQ(RunQvr({"list", "a.qvr"}, dir).status, 0);
    // Mistakes get one plain line each.
    // The command list is every command this build has; a mistake in a
    // command's options points to that command's own help.
#ifdef QVR_HAVE_MOUNT
    const std::string commands = "list, extract, create, test, diff, add, delete, rename, mount and unmount";
#else
    const std::string commands = "list, extract, create, test, diff, add, delete and rename";
#endif
    const struct {
        std::vector<std::string> args;
        std::string err;
    } mistakes[] = {
        {{"xt", "a.qvr"}, "qvr: unknown command 'xt'; the commands are " + commands + " (qvr help)\n"},
        {{"help", "xt"}, "qvr: unknown command 'xt'; the commands are " + commands + " (qvr help)\n"},
        {{"-q", "--frob"}, "qvr: unknown option '-q'; a command comes first (qvr help)\n"},
        {{"extract", "a.qvr", "-C", "o", "-C", "p"},
         "qvr extract: --directory: given more than once (qvr extract --help)\n"},
        {{"extract", "a.qvr", "-C"}, "qvr extract: --directory: needs a value (qvr extract --help)\n"},
        {{"x", "a.qvr", "--frob"},
         "qvr extract: The following argument was not expected: --frob (qvr extract --help)\n"},
        {{"list", "--encoding", "CP932", "a.qvr", "--encoding", "UTF-8"},
         "qvr list: --encoding: given more than once (qvr list --help)\n"},
        {{"rename", "a.qvr", "old"}, "qvr rename: takes ARCHIVE OLD NEW (qvr rename --help)\n"},
        {{"extract", "a.qvr", "-C", "a.qvr"}, "qvr: a.qvr: -C a.qvr: not a folder\n"},
        {{"extract", "--keep", "--overwrite", "a.qvr"}, "qvr extract: --keep and --overwrite exclude each other\n"},
    };
    for (const auto& m : mistakes) {
        const auto r = RunQvr(m.args, dir);
        EXPECT_EQ(r.status, 2) << m.err;
        EXPECT_EQ(r.err, m.err);
    }
    // "--" ends the options: "-n" is a file.
    WriteFile(dir / "-n", B("dash"));
    EXPECT_EQ(RunQvr({"create", "d.qvr", "a.qvr", "--", "-n"}, dir).status, 0);
    EXPECT_EQ(RunQvr({"list", "d.qvr"}, dir).out, "a.qvr\n-n\n");
    EXPECT_EQ(RunQvr({"list", "-l", "-q", "d.qvr", "--", "-n"}, dir).out, "#    size  offset  name\n1       4  123627  -n\n");
    EXPECT_EQ(RunQvr({"test", "d.qvr"}, dir).out, "d.qvr: 2 entries, sound\n");
}

// On a terminal, create, extract, add and rename end with a summary line,
// unless -q.
TEST_F(Output, SummaryLineOnATerminal) {
    if (std::system("script -qec true /dev/null > /dev/null 2>&1") != 0) GTEST_SKIP() << "no script(1) for a terminal";
    WriteFile(dir / "one.txt", B("1"));
    const auto onTerminal = [&](const std::string& args) {
        const std::string command = "cd '" + dir.string() + "' && script -qec \"'" QVR_BINARY "' " + args +
                                    "\" /dev/null";
        FILE* pipe = popen(command.c_str(), "r");
        std::string out(4096, '\0');
        out.resize(fread(out.data(), 1, out.size(), pipe));
        pclose(pipe);
        return out;
    };
    EXPECT_NE(onTerminal("create t.qvr one.txt").find("qvr: packed 1 entry, 1 B in "), std::string::npos);
    EXPECT_NE(onTerminal("extract t.qvr -C out").find("qvr: extracted 1 entry, 1 B in "), std::string::npos);
    EXPECT_EQ(onTerminal("extract -q --overwrite t.qvr -C out"), "");
    WriteFile(dir / "two.txt", B("22"));
    EXPECT_NE(onTerminal("add t.qvr two.txt").find("qvr: added 1 entry, 2 B in "), std::string::npos);
    EXPECT_NE(onTerminal("rename t.qvr two.txt 2.txt").find("qvr: t.qvr: renamed 'two.txt' to '2.txt'"),
              std::string::npos);
    EXPECT_EQ(onTerminal("add -q t.qvr one.txt"), "");
    EXPECT_EQ(onTerminal("rename -q t.qvr 2.txt two.txt"), "");
}

// Columns of a UTF-8 line: one per character.
std::size_t Columns(std::string_view line) {
    return static_cast<std::size_t>(std::count_if(line.begin(), line.end(), [](char c) { return (c & 0xC0) != 0x80; }));
}

// Only the command named has its options built; the top level's help still
// lists every command by its names and summary, and a command's help has its
// own options and no other's.
TEST_F(Output, HelpListsEveryCommandAndEachCommandItsOwnOptions) {
    std::vector<std::string> rows{"  list, l ", "  extract, x ", "  create, c ", "  test, t ", "  diff ",
                                  "  add, a ",  "  delete, d ",  "  rename "};
#ifdef QVR_HAVE_MOUNT
    rows.insert(rows.end(), {"  mount ", "  unmount "});
#endif
    const auto help = RunQvr({"--help"}, dir).out;
    for (const auto& row : rows) EXPECT_NE(help.find(row), std::string::npos) << row;
    EXPECT_NE(help.find("Check an archive's structure"), std::string::npos) << help;
    const auto list = RunQvr({"l", "--help"}, dir).out;
    EXPECT_NE(list.find("--json"), std::string::npos) << list;
    EXPECT_EQ(list.find("--strip-components"), std::string::npos) << list;
    EXPECT_EQ(list.find("Subcommands"), std::string::npos) << list;
}

// Every command's help has examples, is the same from "qvr help COMMAND",
// and reads at 80 columns (the manual page is made from it).
TEST_F(Output, HelpWithExamplesOnEveryCommand) {
    std::vector<std::string> commands{"", "list", "extract", "create", "test", "add", "delete", "rename"};
#ifdef QVR_HAVE_MOUNT
    commands.insert(commands.end(), {"mount", "unmount"});
#endif
    for (const auto& command : commands) {
        SCOPED_TRACE(command);
        const auto r = RunQvr(command.empty() ? std::vector<std::string>{"--help"}
                                              : std::vector<std::string>{command, "--help"},
                              dir);
        EXPECT_EQ(r.status, 0);
        EXPECT_NE(r.out.find("Examples:"), std::string::npos) << r.out;
        const auto viaHelp = RunQvr(command.empty() ? std::vector<std::string>{"help"}
                                                    : std::vector<std::string>{"help", command},
                                    dir);
        EXPECT_EQ(viaHelp.status, 0);
        EXPECT_EQ(viaHelp.out, r.out);
        std::istringstream lines(r.out);
        for (std::string line; std::getline(lines, line);) EXPECT_LE(Columns(line), 80u) << line;
    }
    const auto help = RunQvr({"extract", "--help"}, dir).out;
    EXPECT_NE(help.find("--keep"), std::string::npos);
    EXPECT_EQ(help.find("Excludes"), std::string::npos) << help;  // no text run into an option's name
    EXPECT_NE(help.find("chooses 2 for 64 entries"), std::string::npos) << help;
    const auto v = RunQvr({"--version"}, dir);
    EXPECT_EQ(v.status, 0);
    EXPECT_EQ(v.out, "qvr " QVR_VERSION "\n");
}

}  // namespace
}  // namespace qvr::tooltest
