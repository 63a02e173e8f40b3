// qvr diff against an extracted tree changed in one way per row, and list
// of an archive cut short.
#include <functional>

#include "tool_test_support.h"

namespace qvr::tooltest {
namespace {

class Diff : public Scratch {};

TEST_F(Diff, NamesEachEntryThatDiffersFromItsFile) {
    const Bytes big = Pattern(70000, 5);
    WriteFile(dir / "d.qvr", Archive({{B("a.txt"), B("alpha")}, {B("sub\\b.txt"), B("beta")}, {B("big.bin"), big}}));
    const fs::path out = dir / "out";
    const struct {
        const char* what;
        std::function<void()> change;
        std::vector<std::string> names;  // after the archive
        int status;
        std::string lines;
    } cases[] = {
        {"as extracted", [] {}, {}, 0, ""},
        {"a file removed", [&] { fs::remove(out / "a.txt"); }, {}, 1, "a.txt: missing on disk\n"},
        {"the content within the scrambled start", [&] { WriteFile(out / "a.txt", B("alphA")); }, {}, 1,
         "a.txt: content differs\n"},
        {"the content far past the start",
         [&] { auto changed = big; changed[69000] ^= 1; WriteFile(out / "big.bin", changed); }, {}, 1,
         "big.bin: content differs\n"},
        {"another size", [&] { WriteFile(out / "sub" / "b.txt", B("betas")); }, {}, 1,
         "sub\\b.txt: size differs (4 bytes in the archive, 5 bytes on disk)\n"},
        {"a folder in a file's place", [&] { fs::remove(out / "a.txt"); fs::create_directory(out / "a.txt"); }, {}, 1,
         "a.txt: not a file on disk\n"},
        {"only what is selected is compared", [&] { fs::remove(out / "a.txt"); }, {"sub"}, 0, ""},
        {"a file no entry names is not looked at", [&] { WriteFile(out / "extra.txt", B("x")); }, {}, 0, ""},
        {"a folder removed", [&] { fs::remove_all(out / "sub"); }, {}, 1, "sub\\b.txt: missing on disk\n"},
    };
    for (const auto& c : cases) {
        fs::remove_all(out);
        ASSERT_EQ(RunQvr({"extract", "-q", "d.qvr", "-C", "out"}, dir).status, 0);
        c.change();
        std::vector<std::string> args{"diff", "d.qvr", "-C", "out"};
        args.insert(args.end(), c.names.begin(), c.names.end());
        const auto r = RunQvr(args, dir);
        EXPECT_EQ(r.status, c.status) << c.what << ": " << r.err;
        EXPECT_EQ(r.out, c.lines) << c.what;
    }
    EXPECT_EQ(RunQvr({"diff", "d.qvr", "-C", "out", "nothere"}, dir).status, 1);
    EXPECT_EQ(RunQvr({"diff", "missing.qvr"}, dir).status, 2);
}

TEST_F(Diff, ListOfAnArchiveCutShortWarnsAndFails) {
    auto image = Archive({{B("a.txt"), Pattern(100, 1)}, {B("b.txt"), Pattern(100, 2)}, {B("c.txt"), Pattern(100, 3)}});
    image.erase(image.end() - 150, image.end());  // c.txt wholly gone, b.txt cut
    WriteFile(dir / "cut.qvr", image);
    const auto r = RunQvr({"list", "cut.qvr"}, dir);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "a.txt\nb.txt\nc.txt\n");  // every entry still listed
    EXPECT_NE(r.err.find("damaged: 2 of 3 entries have data that run past the end of the file"), std::string::npos)
        << r.err;
    const auto json = RunQvr({"list", "--json", "cut.qvr"}, dir);
    EXPECT_EQ(json.status, 1);
}

}  // namespace
}  // namespace qvr::tooltest
