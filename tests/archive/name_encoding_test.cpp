#include <gtest/gtest.h>

#include <string_view>
#include <vector>

#include "qvr/name_encoding.h"
#include "test_archives.h"

namespace qvr {
namespace {

using namespace std::string_view_literals;

std::span<const std::uint8_t> B(std::string_view s) {
    return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

NameEncoding Guess(const std::vector<std::string_view>& names) {
    NameEncodingGuess guess;
    for (const auto name : names) guess.Add(B(name));
    return guess.Result();
}

struct GuessCase {
    const char* what;
    std::vector<std::string_view> names;
    NameEncoding expected;
};

TEST(NameEncodingGuess, DecidesOnEveryName) {
    using enum NameEncoding;
    const GuessCase cases[] = {
        {"no names", {}, AsBytes},
        {"plain ASCII reads the same everywhere", {"readme.txt", "sound\\bgm.wav"}, AsBytes},
        {"UTF-8 from a newer writer", {"readme.txt", "表示\\ソ.txt"}, Utf8},
        // 表示\ソ.txt in CP932: 表 and ソ end in the trail byte 0x5C.
        {"CP932 with 0x5C trail bytes", {"t1\\\x95\x5C\x8E\xA6\\\x83\x5C.txt"}, Cp932},
        {"CP932 half-width katakana", {"\xB1\xB2\xB3.txt"}, Cp932},
        {"CP932 after ASCII names", {"a.txt", "b.txt", "\x93\xfa\x96\x7b\x8c\xea.txt"}, Cp932},
        // 0xE6 0x97 0xA5 is 日 in UTF-8 and also two CP932 characters' worth
        // of bytes, so the UTF-8 reading wins while every name allows it.
        {"valid in both: UTF-8 first", {"\xE6\x97\xA5.txt"}, Utf8},
        {"one CP932 name among UTF-8 ones", {"日本.txt", "\x95\x5C.txt"}, Cp932},
        {"neither: a lone lead byte at the end", {"\x95\x5C.txt", "cut\x95"}, AsBytes},
        {"neither: 0x80 and 0xFD never start a CP932 character", {"\x80\xFD"}, AsBytes},
        {"neither: a trail byte below 0x40", {"\x81\x30"}, AsBytes},
        {"zero byte inside an ASCII name", {"a\0b"sv}, AsBytes},
    };
    for (const auto& c : cases) EXPECT_EQ(Guess(c.names), c.expected) << c.what;
}

TEST(NameEncodingGuess, SaysWhenSomeNamesLookLikeCp932ButTheRestDoNot) {
    NameEncodingGuess mixed;
    mixed.Add(B("\x95\x5C.txt"));
    mixed.Add(B("\xFF.bin"));
    EXPECT_EQ(mixed.Result(), NameEncoding::AsBytes);
    EXPECT_TRUE(mixed.SomeLookLikeCp932());

    NameEncodingGuess utf8;
    utf8.Add(B("日本.txt"));
    utf8.Add(B("\xFF.bin"));
    EXPECT_FALSE(utf8.SomeLookLikeCp932());
}

TEST(NameEncodingGuess, ValidityOfEachEncoding) {
    EXPECT_TRUE(IsValidUtf8Name(B("日本語")));
    EXPECT_FALSE(IsValidUtf8Name(B("\xC0\xAF")));          // overlong '/'
    EXPECT_FALSE(IsValidUtf8Name(B("\xED\xA0\x80")));      // a surrogate
    EXPECT_FALSE(IsValidUtf8Name(B("\xF4\x90\x80\x80")));  // past U+10FFFF
    EXPECT_FALSE(IsValidUtf8Name(B("\xE6\x97")));          // cut short
    EXPECT_TRUE(IsValidCp932Name(B("\x95\x5C\x8E\xA6")));
    EXPECT_TRUE(IsValidCp932Name(B("\xFC\xFC")));
    EXPECT_FALSE(IsValidCp932Name(B("\x95")));
    EXPECT_FALSE(IsValidCp932Name(B("\xA0")));
    EXPECT_FALSE(IsValidCp932Name(B("\x81\x7F")));
}

TEST(NameEncodingGuess, WalksEveryNameOfAnArchive) {
    // The one CP932 name comes last, past where a sample of the first names would stop.
    std::vector<WriterEntry> entries;
    std::vector<std::vector<std::uint8_t>> names;
    for (int i = 0; i < 2000; ++i) names.push_back(test::Bytes("f" + std::to_string(i) + ".txt"));
    names.push_back({0x95, 0x5C, '.', 't', 'x', 't'});
    for (const auto& name : names) entries.push_back({name, {}});
    const auto image = test::Build(entries);
    OpenedArchive opened;
    ASSERT_EQ(OpenArchiveImage(image, opened), OpenStatus::Success);
    EXPECT_EQ(GuessNameEncoding(opened).Result(), NameEncoding::Cp932);
    EXPECT_EQ(EncodingName(NameEncoding::Cp932), "CP932");
    EXPECT_EQ(EncodingName(NameEncoding::AsBytes), "");
}

}  // namespace
}  // namespace qvr
