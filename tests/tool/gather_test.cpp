// What create gathers from a folder, in process: the order, what links lead
// to, and what is left out (a FIFO, a link to nothing), from the types the
// folder's listing gives.
#include <sys/stat.h>

#include "commands/gather.h"
#include "tool_test_support.h"

namespace qvr::tooltest {
namespace {

class Gather : public Scratch {
protected:
    // Stored name and size of every input gathered from `tree`.
    std::vector<std::pair<std::string, std::uint64_t>> Gathered(bool noFollow, cli::Gathered& out) {
        cli::CreateOptions options;
        options.common.quiet = true;
        options.noFollow = noFollow;
        options.ignoreFailedRead = true;
        options.inputs.push_back({"tree", dir});
        cli::Reporter reporter("test");
        const auto& codec = cli::NameCodec::PassThrough();
        auto gathered = cli::GatherInputs(options, codec, reporter, std::nullopt);
        EXPECT_TRUE(gathered);
        if (gathered) out = std::move(*gathered);
        std::vector<std::pair<std::string, std::uint64_t>> names;
        for (const auto& in : out.inputs) names.emplace_back(std::string(in.name.begin(), in.name.end()), in.size);
        return names;
    }
};

TEST_F(Gather, FolderListingGivesOrderLinksAndWhatIsLeftOut) {
    WriteFile(dir / "tree" / "b.txt", B("bee"));
    WriteFile(dir / "tree" / "A" / "c.txt", B("sea!"));
    WriteFile(dir / "outside" / "d.txt", B("dd"));
    fs::create_symlink("b.txt", dir / "tree" / "link-to-file");
    fs::create_symlink("../outside", dir / "tree" / "link-to-folder");
    fs::create_symlink("gone", dir / "tree" / "dangling");
    ASSERT_EQ(mkfifo((dir / "tree" / "fifo").c_str(), 0600), 0);

    cli::Gathered followed;
    const std::vector<std::pair<std::string, std::uint64_t>> all = {
        {"tree\\A\\c.txt", 4}, {"tree\\b.txt", 3}, {"tree\\link-to-file", 3}, {"tree\\link-to-folder\\d.txt", 2}};
    EXPECT_EQ(Gathered(false, followed), all);
    EXPECT_EQ(followed.skipped, 2u);  // the FIFO and the link to nothing

    cli::Gathered unfollowed;
    const std::vector<std::pair<std::string, std::uint64_t>> plain = {{"tree\\A\\c.txt", 4}, {"tree\\b.txt", 3}};
    EXPECT_EQ(Gathered(true, unfollowed), plain);
    EXPECT_EQ(unfollowed.skipped, 4u);  // three links and the FIFO
}

}  // namespace
// A list naming files of several folders in turn: each file keeps the path
// it was named by, and the files of one folder share one copy of its path.
TEST_F(Gather, ListedFilesKeepTheirPathsAndShareTheirFolders) {
    std::string list;
    for (int i = 0; i < 6; ++i) {
        const std::string name = "d" + std::to_string(i % 3) + "/f" + std::to_string(i);
        WriteFile(dir / "listed" / name, B("x"));
        list += name + "\n";
    }
    cli::CreateOptions options;
    options.common.quiet = true;
    options.listed = [&] {
        std::string nulSeparated;
        for (char c : list) nulSeparated.push_back(c == '\n' ? '\0' : c);
        return nulSeparated;
    }();
    options.listedDirectory = dir / "listed";
    cli::Reporter reporter("test");
    auto gathered = cli::GatherInputs(options, cli::NameCodec::PassThrough(), reporter, std::nullopt);
    ASSERT_TRUE(gathered);
    const auto& inputs = gathered->inputs;
    ASSERT_EQ(inputs.size(), 6u);
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        const auto expected = (dir / "listed" / ("d" + std::to_string(i % 3)) / ("f" + std::to_string(i))).lexically_normal();
        EXPECT_EQ(fs::path(inputs[i].Source()), expected);
        ASSERT_TRUE(inputs[i].folder);
        EXPECT_EQ(inputs[i].folder, inputs[i % 3].folder) << i;
        EXPECT_EQ(inputs[i].leaf, "f" + std::to_string(i));
    }
    EXPECT_NE(inputs[0].folder, inputs[1].folder);
}

}  // namespace qvr::tooltest
