// Selection::CannotMatchStored against the long way: a name it turns away
// unread is one that offering and selecting would not choose either.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "names/selection.h"
#include "qvr/scramble.h"

namespace qvr::cli {
namespace {

Bytes Scrambled(const std::string& name) {
    Bytes b(name.begin(), name.end());
    DescrambleName(b);  // its own inverse
    return b;
}

const std::vector<std::string> Names{
    "d255\\f65279.bin", "d255\\f65278.bin", "d25\\f1", "d255", "d255\\", "d255/f65279.bin", "./d255\\f65279.bin",
    "d255\\.\\f65279.bin", "d255\\\\f65279.bin", "\\d255\\f65279.bin", "d255\\f65279.bin\\", "d255.bin",
    "d2550\\x", "d255\\f65279.bin\\inner", "other", "", ".", "d", "d255\\f65279.bi", "d255\\f65279.binx",
    "d255\\sub\\deep", "a.b\\c", "a.b", "a", "a\\b", "a/b", "a\\.\\b", "a\\..\\b", "A\\B"};

TEST(SelectionStored, NeverTurnsAwayANameTheLongWayWouldChoose) {
    const std::vector<std::vector<std::string>> argumentSets{
        {"d255\\f65279.bin"}, {"d255/f65279.bin"}, {"d255"}, {"d255/"}, {"./d255"}, {"a.b"}, {"a"},
        {"a", "d255"},        {"other", "a\\b"},   {"d25"},  {"."},     {"*.bin"}, {"d255\\f6527?.bin"}};
    for (const bool ignoreCase : {false, true})
        for (const auto& arguments : argumentSets) {
            std::size_t turnedAway = 0;
            for (const auto& name : Names) {
                Selection once(arguments, true, ignoreCase);
                const Bytes plain(name.begin(), name.end());
                if (!once.CannotMatchStored(Scrambled(name))) continue;
                ++turnedAway;
                // Offered together with every other name, it is still not chosen.
                Selection all(arguments, true, ignoreCase);
                for (const auto& other : Names) all.OfferAndMayMatch(Bytes(other.begin(), other.end()));
                EXPECT_FALSE(all.Selects(plain)) << name << " with " << arguments.front();
                Selection alone(arguments, true, ignoreCase);
                EXPECT_FALSE(alone.OfferAndMayMatch(plain)) << name << " with " << arguments.front();
            }
            // Patterns, folded case and the archive's top are never judged unread.
            if (ignoreCase || arguments.front() == "." || arguments.front().find_first_of("*?") != std::string::npos) {
                EXPECT_EQ(turnedAway, 0u) << arguments.front();
            }
        }
}

TEST(SelectionStored, TurnsAwayTheUsualNonMatchesUnread) {
    Selection exact({"d255\\f65279.bin"}, true, false);
    EXPECT_TRUE(exact.CannotMatchStored(Scrambled("d254\\f65023.bin")));
    EXPECT_TRUE(exact.CannotMatchStored(Scrambled("d255\\f65278.bin")));
    EXPECT_TRUE(exact.CannotMatchStored(Scrambled("other")));
    EXPECT_FALSE(exact.CannotMatchStored(Scrambled("d255\\f65279.bin")));
    EXPECT_FALSE(exact.CannotMatchStored(Scrambled("d255/f65279.bin")));  // the long way decides
    Selection folder({"d255"}, true, false);
    EXPECT_TRUE(folder.CannotMatchStored(Scrambled("d254\\f65023.bin")));
    EXPECT_TRUE(folder.CannotMatchStored(Scrambled("d2550\\x")));
    EXPECT_FALSE(folder.CannotMatchStored(Scrambled("d255\\f65279.bin")));
}

}  // namespace
}  // namespace qvr::cli
