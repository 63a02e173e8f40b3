// Which stored names may be written, and where.
#include <random>

#include "names/safe_path.h"
#include "tool_test_support.h"

namespace qvr::tooltest {
namespace {

using cli::SafeRelativePath;

std::optional<fs::path> Safe(std::string_view s) { return SafeRelativePath(B(s)); }

TEST(SafeRelativePath, AcceptsPlainNamesWithEitherSeparator) {
    EXPECT_EQ(Safe("readme.txt"), fs::path("readme.txt"));
    EXPECT_EQ(Safe("sound\\bgm\\01.wav"), fs::path("sound/bgm/01.wav"));
    EXPECT_EQ(Safe("sound/bgm/01.wav"), fs::path("sound/bgm/01.wav"));
    EXPECT_EQ(Safe("with space\\n a m e"), fs::path("with space/n a m e"));
    EXPECT_EQ(Safe("\xff\x80\xe9.bin"), fs::path("\xff\x80\xe9.bin"));
    EXPECT_EQ(Safe("..a\\b..c\\.hidden"), fs::path("..a/b..c/.hidden"));
}

TEST(SafeRelativePath, DropsEmptyAndDotComponents) {
    EXPECT_EQ(Safe(".\\a.txt"), fs::path("a.txt"));
    EXPECT_EQ(Safe("a\\\\b"), fs::path("a/b"));
    EXPECT_EQ(Safe("a/./b"), fs::path("a/b"));
}

TEST(SafeRelativePath, RefusesDangerousNames) {
    for (const std::string_view name :
         {"", "/etc/passwd", "\\windows\\x", "\\\\server\\share\\x", "//server/share/x", "C:\\x", "C:x", "c:/x",
          "a:b", "file.txt:stream", "..", "..\\x", "../x", "a\\..\\..\\b", "a/../b", "x\\..", "...\\x", ".. \\x",
          " \\x", "dir\\", "dir/", ".", ".\\", "\\", "a\\.\\..\\b", "b..\\x", "nul.txt", "a?b"}) {
        EXPECT_FALSE(Safe(name)) << "accepted '" << name << "'";
        EXPECT_FALSE(cli::RefusalReason(B(name)).empty()) << name;
    }
    EXPECT_FALSE(SafeRelativePath(Bytes{'a', 0, 'b'}));
    EXPECT_FALSE(SafeRelativePath(Bytes{'a', '\\', 0}));
}

// Every accepted name, joined to a folder, stays inside it: no root, no
// "..", and nothing Windows would shorten to "..".
TEST(SafeRelativePath, NoAcceptedNameLeavesTheFolder) {
    const std::string alphabet = std::string("a.\\/: ") + '\0';
    std::mt19937 rng(1234);
    std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() - 1), length(0, 9);
    int accepted = 0;
    for (int round = 0; round < 200000; ++round) {
        Bytes name(length(rng));
        for (auto& b : name) b = static_cast<std::uint8_t>(alphabet[pick(rng)]);
        const auto path = SafeRelativePath(name);
        if (!path) continue;
        ++accepted;
        ASSERT_FALSE(path->empty());
        ASSERT_FALSE(path->has_root_path()) << path->string();
        for (const auto& part : *path) {
            const auto s = part.string();
            ASSERT_NE(s.find_first_not_of(". "), std::string::npos) << path->string();
            ASSERT_EQ(s.find_first_of(":\\/"), std::string::npos) << path->string();
        }
        const fs::path base("/target");
        const auto joined = (base / *path).lexically_normal();
        ASSERT_EQ(joined.lexically_relative(base).begin()->string() == "..", false) << path->string();
    }
    EXPECT_GT(accepted, 1000);
}

}  // namespace
}  // namespace qvr::tooltest
