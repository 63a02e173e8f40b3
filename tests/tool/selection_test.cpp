// Selection in process: which entries the arguments of list, extract and
// delete choose, and which rename names, for a table of names.
#include "names/selection.h"
#include "tool_test_support.h"

namespace qvr::tooltest {
namespace {

using cli::EntryFilter;
using cli::NameCodec;
using cli::SelectOptions;

const std::vector<std::string> Names = {
    "readme.txt",       // 0
    "src\\main.c",      // 1
    "src\\util\\a.c",   // 2
    "src/util/b.h",     // 3
    "docs\\README.TXT", // 4
    "a[1].txt",         // 5
    "src2\\x.c",        // 6
    "readme.txt",       // 7
};

// The entries chosen, as a command walks them: every name offered first,
// then each entry judged. Whatever is chosen was offered as a candidate.
std::vector<std::uint32_t> Chosen(const SelectOptions& options, std::vector<std::string>* misses = nullptr) {
    EntryFilter filter(options, NameCodec::PassThrough());
    std::vector<bool> may(Names.size(), true);
    if (filter.NeedsNames())
        for (std::uint32_t i = 0; i < Names.size(); ++i) may[i] = filter.MaySelect(i, B(Names[i]));
    std::vector<std::uint32_t> chosen;
    for (std::uint32_t i = 0; i < Names.size(); ++i)
        if (may[i] && filter.Selects(i, B(Names[i]))) chosen.push_back(i);
    if (misses) *misses = filter.Misses();
    return chosen;
}

SelectOptions NamesOf(std::vector<std::string> names) {
    SelectOptions options;
    options.names = std::move(names);
    return options;
}

using Indices = std::vector<std::uint32_t>;

TEST(Selection, ArgumentsChooseEntries) {
    EXPECT_EQ(Chosen({}), (Indices{0, 1, 2, 3, 4, 5, 6, 7}));
    EXPECT_EQ(Chosen(NamesOf({"src\\main.c"})), (Indices{1}));
    EXPECT_EQ(Chosen(NamesOf({"src/main.c"})), (Indices{1}));  // either separator
    EXPECT_EQ(Chosen(NamesOf({"readme.txt"})), (Indices{0, 7}));
    // A folder chooses what is under it, and only that folder: not "src2".
    EXPECT_EQ(Chosen(NamesOf({"src"})), (Indices{1, 2, 3}));
    EXPECT_EQ(Chosen(NamesOf({"src/"})), (Indices{1, 2, 3}));
    EXPECT_EQ(Chosen(NamesOf({"./src//util"})), (Indices{2, 3}));
    // Patterns match the whole name; '*' crosses separators.
    EXPECT_EQ(Chosen(NamesOf({"*.c"})), (Indices{1, 2, 6}));
    EXPECT_EQ(Chosen(NamesOf({"src/*.c"})), (Indices{1, 2}));
    EXPECT_EQ(Chosen(NamesOf({"src\\?ain.c", "*.h"})), (Indices{1, 3}));
    EXPECT_EQ(Chosen(NamesOf({"[ad]*"})), (Indices{4, 5}));
}

TEST(Selection, AnExactNameIsNeverAPattern) {
    // "a[1].txt" as a pattern would match "a1.txt"; it names entry 5.
    EXPECT_EQ(Chosen(NamesOf({"a[1].txt"})), (Indices{5}));
    auto literal = NamesOf({"*.c"});
    literal.noWildcards = true;
    std::vector<std::string> misses;
    EXPECT_EQ(Chosen(literal, &misses), Indices{});
    EXPECT_EQ(misses.size(), 1u);
}

TEST(Selection, IgnoreCaseFoldsAToZ) {
    auto options = NamesOf({"README.TXT"});
    EXPECT_EQ(Chosen(options), Indices{});
    options.ignoreCase = true;
    EXPECT_EQ(Chosen(options), (Indices{0, 7}));
    options.names = {"DOCS"};
    EXPECT_EQ(Chosen(options), (Indices{4}));
}

TEST(Selection, IndicesAndExclusions) {
    SelectOptions options;
    options.indices = {1, 4};
    EXPECT_EQ(Chosen(options), (Indices{1, 4}));
    options = NamesOf({"src"});
    options.excludes = {"*.h"};
    EXPECT_EQ(Chosen(options), (Indices{1, 2}));
    // Without a separator an exclusion matches any one component.
    options = {};
    options.excludes = {"util"};
    EXPECT_EQ(Chosen(options), (Indices{0, 1, 4, 5, 6, 7}));
    options.excludes = {"src/util"};
    EXPECT_EQ(Chosen(options), (Indices{0, 1, 4, 5, 6, 7}));
}

TEST(Selection, WhatChoosesNothingIsTold) {
    std::vector<std::string> misses;
    auto options = NamesOf({"nothing", "src"});
    options.indices = {99};
    EXPECT_EQ(Chosen(options, &misses), (Indices{1, 2, 3}));
    EXPECT_EQ(misses.size(), 2u);
}

std::vector<std::pair<std::size_t, std::string>> Targets(const std::vector<std::string>& names, const std::string& from) {
    std::vector<Bytes> stored;
    for (const auto& name : names) stored.push_back(B(name));
    std::vector<std::span<const std::uint8_t>> spans(stored.begin(), stored.end());
    std::vector<std::pair<std::size_t, std::string>> out;
    for (const auto& target : cli::RenameTargets(spans, from, NameCodec::PassThrough()))
        out.emplace_back(target.entry, std::string(target.rest.begin(), target.rest.end()));
    return out;
}

using Renamed = std::vector<std::pair<std::size_t, std::string>>;

// Of a repeated name, rename takes the first: the one extraction writes.
TEST(RenameTargets, TheFirstOfARepeatedName) {
    const std::vector<std::string> names = {"x.txt", "a.txt", "dir\\one", "A.TXT", "dir/two", "a.txt"};
    EXPECT_EQ(Targets(names, "a.txt"), (Renamed{{1, ""}}));
    EXPECT_EQ(Targets(names, "A.txt"), (Renamed{{1, ""}}));  // one file on Windows
    EXPECT_EQ(Targets(names, "./a.txt"), (Renamed{{1, ""}}));
    EXPECT_EQ(Targets(names, "dir"), (Renamed{{2, "one"}, {4, "two"}}));
    EXPECT_EQ(Targets(names, "DIR\\"), (Renamed{{2, "one"}, {4, "two"}}));
    EXPECT_EQ(Targets(names, "x.txt/"), Renamed{});  // only a folder, and there is none
    EXPECT_EQ(Targets(names, "missing"), Renamed{});
    EXPECT_EQ(Targets(names, "di"), Renamed{});
}

TEST(RenameTargets, AFileBeforeAFolderOfItsName) {
    const std::vector<std::string> names = {"d\\f", "d", "d\\g\\h"};
    EXPECT_EQ(Targets(names, "d"), (Renamed{{1, ""}}));
    EXPECT_EQ(Targets(names, "d/"), (Renamed{{0, "f"}, {2, "g\\h"}}));
}

}  // namespace
}  // namespace qvr::tooltest
