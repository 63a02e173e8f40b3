// Name display, patterns and encodings.
#include <nlohmann/json.hpp>

#include "names/names.h"
#include "tool_test_support.h"

namespace qvr::tooltest {
namespace {

using cli::MatchName;

bool Match(std::string_view pattern, std::string_view name, bool ignoreCase = false) {
    return MatchName(B(pattern), B(name), ignoreCase);
}

TEST(MatchName, ShellStylePatterns) {
    EXPECT_TRUE(Match("*.wav", "sound\\a.wav"));  // '*' crosses separators
    EXPECT_TRUE(Match("sound\\*", "sound\\a.wav"));
    EXPECT_TRUE(Match("sound/*", "sound\\a.wav"));  // either separator
    EXPECT_TRUE(Match("a?c", "abc"));
    EXPECT_FALSE(Match("a?c", "ac"));
    EXPECT_TRUE(Match("[ab]x", "bx"));
    EXPECT_FALSE(Match("[!ab]x", "bx"));
    EXPECT_TRUE(Match("[a-c]*", "cat"));
    EXPECT_TRUE(Match("[", "["));  // an unclosed set is a plain bracket
    EXPECT_TRUE(Match("*", ""));
    EXPECT_FALSE(Match("a*b", "acbx"));
    EXPECT_TRUE(Match("*a*a*a*b", "aaaaaaaaaaaaaaab"));
}

TEST(MatchName, IgnoreCaseFoldsOnlyAToZ) {
    EXPECT_TRUE(Match("README.TXT", "readme.txt", true));
    EXPECT_FALSE(Match("README.TXT", "readme.txt", false));
    EXPECT_TRUE(Match("[A-C]AT", "bat", true));
    // 0xC9 and 0xE9 differ by 0x20 but lie outside A-Z: never folded.
    EXPECT_FALSE(Match("\xC9", "\xE9", true));
    // '@' (0x40) and '`' (0x60) neither.
    EXPECT_FALSE(Match("@", "`", true));
}

TEST(DisplayName, TerminalsNeverGetControlBytes) {
    EXPECT_EQ(cli::DisplayName(B("a\x1b[31mb\n"), true), "a\\x1B[31mb\\x0A");
    EXPECT_EQ(cli::DisplayName(B("\xc2\x9b" "x"), true), "\\xC2\\x9Bx");  // C1 control
    EXPECT_EQ(cli::DisplayName(B("\xff" "ok"), true), "\\xFFok");          // not UTF-8
    EXPECT_EQ(cli::DisplayName(B("caf\xc3\xa9"), true), "caf\xc3\xa9");
    EXPECT_EQ(cli::DisplayName(B("a\x1b\n"), false), "a\x1b\n");  // pipes get the bytes
}

TEST(Utf8, LossyTextIsAlwaysValidJson) {
    const auto text = cli::ToUtf8Lossy(B("a\xff\xc3\x28\xed\xa0\x80z"));
    EXPECT_TRUE(cli::IsValidUtf8(B(text)));
    EXPECT_NO_THROW((void)nlohmann::json(text).dump());
    EXPECT_EQ(cli::Hex(B("\x01\xab")), "01ab");
}

TEST(NameCodec, ConvertsBothWaysThroughIconv) {
    auto codec = cli::NameCodec::Make("CP932");
    ASSERT_TRUE(codec) << (codec ? "" : codec.error());
    const Bytes stored{0x95, 0x5C, 0x5C, 'a'};  // "表\a": a trail byte equal to '\'
    const auto text = codec->ToUtf8(stored);
    ASSERT_TRUE(text);
    EXPECT_EQ(std::string(text->begin(), text->end()), "\xe8\xa1\xa8\\a");
    EXPECT_EQ(codec->FromUtf8(*text), stored);
    EXPECT_FALSE(codec->ToUtf8(Bytes{0x81}));  // a lead byte alone
    const auto unknown = cli::NameCodec::Make("NO-SUCH-ENCODING");
    ASSERT_FALSE(unknown);
    EXPECT_EQ(unknown.error(), "unknown encoding 'NO-SUCH-ENCODING' (see iconv --list)");
    auto plain = cli::NameCodec::Make("");
    ASSERT_TRUE(plain);
    EXPECT_EQ(plain->ToUtf8(stored), stored);
}

}  // namespace
}  // namespace qvr::tooltest
