// What the tool prints: listings, JSON, help, version, and exit statuses
// for bad usage.
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
    EXPECT_EQ(json[0]["offset"], HeaderSize + 4 * 10 + 10 + 11 + 9);
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
    EXPECT_EQ(RunQvr({"frobnicate"}, dir).status, 2);
    EXPECT_EQ(RunQvr({"list"}, dir).status, 2);
    EXPECT_EQ(RunQvr({"list", "--no-such-option", "a.qvr"}, dir).status, 2);
    EXPECT_EQ(RunQvr({"create", "x.qvr"}, dir).status, 2);
    EXPECT_EQ(RunQvr({"list", "a.qvr"}, dir).status, 0);
}

TEST_F(Output, HelpWithExamplesOnEveryCommand) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--help"}, {"list", "--help"}, {"extract", "--help"}, {"create", "--help"},
          {"test", "--help"}}) {
        const auto r = RunQvr(args, dir);
        EXPECT_EQ(r.status, 0) << args[0];
        EXPECT_NE(r.out.find("Examples:"), std::string::npos) << r.out;
    }
    EXPECT_NE(RunQvr({"extract", "--help"}, dir).out.find("--keep"), std::string::npos);
    const auto v = RunQvr({"--version"}, dir);
    EXPECT_EQ(v.status, 0);
    EXPECT_EQ(v.out, "qvr " QVR_VERSION "\n");
}

}  // namespace
}  // namespace qvr::tooltest
