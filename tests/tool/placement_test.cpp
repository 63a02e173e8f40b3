// Placement in process: tables of names in directory order and where
// extraction puts each (placement.h), and the words each command uses.
#include "names/placement.h"
#include "tool_test_support.h"

namespace qvr::tooltest {
namespace {

using cli::Place;
using cli::Placer;
using cli::Placing;
using cli::PlacementReport;
using cli::PlacementWords;

struct Expected {
    const char* name;
    Placing outcome;
    std::uint32_t earlier = 0;
    const char* reason = "";
};

// Places the names in order, entry i being the i-th, and checks each.
void ExpectPlacements(const std::vector<Expected>& table) {
    Placer placer;
    for (std::uint32_t i = 0; i < table.size(); ++i) {
        const auto& row = table[i];
        const Place place = placer.Add(i, B(row.name));
        SCOPED_TRACE(testing::Message() << "entry " << i << " '" << row.name << "'");
        EXPECT_EQ(place.outcome, row.outcome);
        if (row.outcome == Placing::Duplicate || row.outcome == Placing::Clash) {
            EXPECT_EQ(place.earlier, row.earlier);
        }
        if (row.outcome != Placing::Refused) {
            EXPECT_EQ(place.reason, row.reason);
        }
    }
}

TEST(Placement, TheFirstEntryOfEachPathWins) {
    ExpectPlacements({
        {"a.txt", Placing::Placed},
        {"b.txt", Placing::Placed},
        {"a.txt", Placing::Duplicate, 0},
        {"./a.txt", Placing::Duplicate, 0},  // "." and empty components are dropped
        {"sub\\x", Placing::Placed},
        {"sub/x", Placing::Duplicate, 4},  // either separator
        {"sub//./x", Placing::Duplicate, 4},
        {"b.txt", Placing::Duplicate, 1},
    });
}

TEST(Placement, AFileWhereAFolderIsNeededClashes) {
    ExpectPlacements({
        {"a", Placing::Placed},
        {"a\\b.txt", Placing::Clash, 0, "entry 0 is a file where this name needs the folder 'a'"},
        {"x\\y", Placing::Placed},
        {"x\\y\\z\\w.txt", Placing::Clash, 2, "entry 2 is a file where this name needs the folder 'x/y'"},
        {"x\\q.txt", Placing::Placed},  // x is a folder, as entry 2 needs
    });
}

// Every folder of a deep name is known, not only the deepest: a later file
// at any of them clashes.
TEST(Placement, AFolderWhereAFileIsNeededClashesAtEveryDepth) {
    ExpectPlacements({
        {"a\\b\\c.txt", Placing::Placed},
        {"a", Placing::Clash, 0, "entry 0 needs this path as a folder"},
        {"a\\b", Placing::Clash, 0, "entry 0 needs this path as a folder"},
        {"a/b/d.txt", Placing::Placed},
        {"a\\b\\c.txt\\e", Placing::Clash, 0, "entry 0 is a file where this name needs the folder 'a/b/c.txt'"},
        {"a\\e\\f\\g", Placing::Placed},
        {"a\\e\\f", Placing::Clash, 5, "entry 5 needs this path as a folder"},
        {"a\\e", Placing::Clash, 5, "entry 5 needs this path as a folder"},
    });
}

TEST(Placement, RefusedNamesTakeNoPlace) {
    Placer placer;
    for (const char* name : {"../x", "/abs", "c:x", "nul.txt", "a\\", ".", "a?b"}) {
        const auto place = placer.Add(0, B(name));
        EXPECT_EQ(place.outcome, Placing::Refused) << name;
        EXPECT_FALSE(place.reason.empty()) << name;
    }
    EXPECT_EQ(placer.Add(1, B("x")).outcome, Placing::Placed);  // "../x" did not take it
    EXPECT_EQ(placer.Add(2, B("abs")).outcome, Placing::Placed);
}

// Names that differ only in case are one file where the system folds case.
TEST(Placement, CaseFoldsOnlyWhereTheSystemDoes) {
#ifdef _WIN32
    const Placing other = Placing::Duplicate;
    const Placing folder = Placing::Clash;
#else
    const Placing other = Placing::Placed;
    const Placing folder = Placing::Placed;
#endif
    Placer placer;
    EXPECT_EQ(placer.Add(0, B("Read.me")).outcome, Placing::Placed);
    EXPECT_EQ(placer.Add(1, B("READ.ME")).outcome, other);
    EXPECT_EQ(placer.Add(2, B("Dir\\f")).outcome, Placing::Placed);
    EXPECT_EQ(placer.Add(3, B("dir")).outcome, folder);
    // Beyond A-Z nothing folds, on any system.
    EXPECT_EQ(placer.Add(4, B("\xC3\x89")).outcome, Placing::Placed);
    EXPECT_EQ(placer.Add(5, B("\xC3\xA9")).outcome, Placing::Placed);
}

// Many names, more than the table was sized for: it grows and forgets none.
TEST(Placement, ATableOutgrownKeepsEveryPath) {
    Placer placer(cli::NameCodec::PassThrough(), 4);
    constexpr std::uint32_t count = 5000;
    for (std::uint32_t i = 0; i < count; ++i)
        ASSERT_EQ(placer.Add(i, B("d" + std::to_string(i % 50) + "/f" + std::to_string(i))).outcome, Placing::Placed);
    for (std::uint32_t i = 0; i < count; i += 97) {
        const auto again = placer.Add(count + i, B("d" + std::to_string(i % 50) + "\\f" + std::to_string(i)));
        EXPECT_EQ(again.outcome, Placing::Duplicate);
        EXPECT_EQ(again.earlier, i);
    }
    EXPECT_EQ(placer.Add(2 * count, B("d7")).outcome, Placing::Clash);
    EXPECT_EQ(placer.Add(2 * count, B("d7")).earlier, 7u);
}

TEST(PlacementReport, EachCommandKeepsItsWords) {
    const Place refused{Placing::Refused, 0, "absolute path"};
    const Place clash{Placing::Clash, 2, "entry 2 needs this path as a folder"};
    const Place repeat{Placing::Duplicate, 1, ""};
    PlacementReport extract(PlacementWords::Extract), test(PlacementWords::Test), mount(PlacementWords::Mount);
    EXPECT_EQ(extract.Problem(5, "x", refused), "refused: absolute path");
    EXPECT_EQ(test.Problem(5, "x", refused), "name would be refused on extraction: absolute path");
    EXPECT_EQ(mount.Problem(5, "x", refused), "refused: absolute path");
    EXPECT_EQ(extract.Problem(5, "x", clash), "entry 2 needs this path as a folder; skipped");
    EXPECT_EQ(test.Problem(5, "x", clash), "entry 2 needs this path as a folder; extraction would skip it");
    EXPECT_EQ(mount.Problem(5, "x", clash), "entry 2 needs this path as a folder");
    EXPECT_EQ(mount.Problem(5, "x", repeat), "repeats the name of entry 1, which is shown");
    EXPECT_EQ(extract.Problem(5, "x", Place{}), "");
    EXPECT_EQ(extract.Repeats(), "");

    // Repeats are counted and told once, naming the first.
    EXPECT_EQ(extract.Problem(5, "x", repeat), "");
    EXPECT_EQ(extract.Repeats(),
              "1 entry repeats the name of an earlier entry (entry 5 'x' repeats entry 1); the first entry of each "
              "name was extracted");
    EXPECT_EQ(test.Problem(6, "y", repeat), "");
    EXPECT_EQ(test.Problem(7, "z", repeat), "");
    EXPECT_EQ(test.Repeats(),
              "2 entries repeat the name of an earlier entry (entry 6 'y' repeats entry 1); extraction keeps the "
              "first of each name");
    EXPECT_EQ(mount.Repeats(), "");
}

}  // namespace
}  // namespace qvr::tooltest
