// Names between legacy code pages and UTF-8: split where characters begin,
// converted part by part, stored only when they come back.
#include "names/codec.h"
#include "names/names.h"
#include "tool_test_support.h"

namespace qvr::tooltest {
namespace {

using cli::NameCodec;

NameCodec Codec(const std::string& encoding) {
    auto codec = NameCodec::Make(encoding);
    EXPECT_TRUE(codec) << encoding << ": " << (codec ? "" : codec.error());
    return codec ? std::move(*codec) : NameCodec{};
}

std::string Text(const std::optional<Bytes>& bytes) {
    return bytes ? std::string(bytes->begin(), bytes->end()) : std::string("(none)");
}

// 表示\ソ.txt in CP932: the second bytes of 表 (95 5C) and ソ (83 5C) are
// backslashes; only the one after 示 (8E A6) separates.
const Bytes TrailByteName{0x95, 0x5C, 0x8E, 0xA6, 0x5C, 0x83, 0x5C, '.', 't', 'x', 't'};
const std::string TrailByteText = "表示\\ソ.txt";

TEST(NameCodec, EveryShiftJisNameSplitsOnlyWhereCharactersBegin) {
    for (const std::string name : {"SJIS", "SHIFT_JIS", "SHIFT-JIS", "CP932", "WINDOWS-31J", "MS_KANJI", "sjis",
                                   "Shift_JIS", "cp932"}) {
        const auto codec = Codec(name);
        EXPECT_EQ(codec.CodePage(), 932u) << name;
        EXPECT_TRUE(codec.Lead().IsLead(0x95) && codec.Lead().IsLead(0xE0)) << name;
        EXPECT_FALSE(codec.Lead().IsLead(0x5C) || codec.Lead().IsLead(0xA6)) << name;
        EXPECT_EQ(Text(codec.ToUtf8(TrailByteName)), TrailByteText) << name;
        EXPECT_EQ(codec.FromUtf8(B(TrailByteText)), TrailByteName) << name;
    }
}

TEST(NameCodec, CodePageFamilies) {
    const struct {
        const char* encoding;
        std::uint32_t codePage;
    } cases[] = {
        {"GBK", 936},  {"CP936", 936},    {"GB2312", 936},     {"GB18030", 936}, {"CP949", 949},
        {"UHC", 949},  {"EUC-KR", 949},   {"BIG5", 950},       {"CP950", 950},   {"BIG5-HKSCS", 950},
        {"UTF-8", 65001}, {"CP1252", 0}, {"ISO-8859-1", 0}, {"EUC-JP", 0},
    };
    for (const auto& c : cases) {
        const auto codec = Codec(c.encoding);
        EXPECT_EQ(codec.CodePage(), c.codePage) << c.encoding;
        EXPECT_EQ(codec.Lead().Any(), c.codePage >= 932 && c.codePage <= 950) << c.encoding;
        EXPECT_TRUE(codec.Converts());
        EXPECT_EQ(codec.TextLead().Any(), false);
    }
    const auto& plain = NameCodec::PassThrough();
    EXPECT_FALSE(plain.Converts());
    EXPECT_FALSE(plain.Lead().Any());
    EXPECT_EQ(plain.ToUtf8(TrailByteName), TrailByteName);
}

TEST(NameCodec, PartsConvertAloneAndSeparatorsStayAsStored) {
    const auto sjis = Codec("SJIS");
    const struct {
        Bytes stored;
        const char* text;  // nullptr: not valid Shift_JIS
    } cases[] = {
        {{0x94, 0x5C, '/', 0x95, 0x5C}, "能/表"},                // a slash stays a slash
        {{'a', 0x5C, 0x5C, 'b'}, "a\\\\b"},                      // empty part kept
        {{0x5C, 0x95, 0x5C}, "\\表"},                            // leading separator kept (the name rule refuses it)
        {{'a', 0x81, 0x5C, 'b'}, "a―b"},                         // 81 5C is one character, not a separator
        {{'~', 0x5C, 'x'}, "‾\\x"},                              // Shift_JIS reads 7E as an overline
        {{'a', 0x5C, 0x81}, nullptr},                            // a lead byte at the end
        {{0x95}, nullptr},
    };
    for (const auto& c : cases) {
        const auto text = sjis.ToUtf8(c.stored);
        if (c.text) EXPECT_EQ(Text(text), c.text) << cli::Hex(c.stored);
        else EXPECT_FALSE(text) << cli::Hex(c.stored);
    }
}

TEST(NameCodec, NamesThatWouldComeBackDifferentAreNotEncoded) {
    const auto cp932 = Codec("CP932");
    const auto sjis = Codec("SJIS");
    const struct {
        const NameCodec& codec;
        const char* text;
        const char* why;  // nullptr: stored
    } cases[] = {
        {cp932, "¢.txt", "would come back from CP932 as '￠.txt'"},
        {cp932, "£", "would come back from CP932 as '￡'"},
        {cp932, "¬", "would come back from CP932 as '￢'"},
        {cp932, "‖", "would come back from CP932 as '∥'"},
        {cp932, "—", "would come back from CP932 as '―'"},
        {cp932, "〜.txt", "would come back from CP932 as '～.txt'"},
        {cp932, "−", "would come back from CP932 as '－'"},
        {cp932, "a¥b", "would come back from CP932 as 'a\\b'"},  // a yen sign stored as the separator
        {cp932, "é", "cannot be written in CP932"},
        {sjis, "~", "would come back from SJIS as '‾'"},
        {cp932, "表示\\ソ.txt", nullptr},
        {cp932, "～\\￠\\∥", nullptr},
        {sjis, "能\\表.txt", nullptr},
    };
    for (const auto& c : cases) {
        std::string why;
        const auto stored = c.codec.FromUtf8(B(c.text), &why);
        EXPECT_EQ(stored.has_value(), c.why == nullptr) << c.text;
        if (c.why) EXPECT_EQ(why, c.why) << c.text;
        else EXPECT_EQ(Text(c.codec.ToUtf8(*stored)), c.text);
    }
}

TEST(NameCodec, LossyTextForJson) {
    const auto cp932 = Codec("CP932");
    EXPECT_EQ(cp932.LossyUtf8(B("bad\x81.txt")), "bad\xEF\xBF\xBD.txt");
    EXPECT_EQ(cp932.LossyUtf8(TrailByteName), TrailByteText);
    EXPECT_EQ(NameCodec::PassThrough().LossyUtf8(B("a\xFF\\\xE8\xA1\xA8")), "a\xEF\xBF\xBD\\\xE8\xA1\xA8");
}

}  // namespace
}  // namespace qvr::tooltest
