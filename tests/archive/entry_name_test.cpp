#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "qvr/entry_name.h"

namespace qvr {
namespace {

std::span<const std::uint8_t> B(std::string_view s) {
    return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

struct NameCase {
    std::string_view name;
    NameRefusal single;  // read in a single-byte code page
    NameRefusal sjis;    // read as Shift_JIS
};

TEST(EntryName, OneRuleForEveryReader) {
    using enum NameRefusal;
    using namespace std::string_view_literals;
    const NameCase cases[] = {
        {"readme.txt", None, None},
        {"sound\\bgm/01.wav", None, None},
        {".\\a.txt", None, None},
        {"a\\\\b", None, None},
        {"..a\\.hidden", None, None},
        {"", Empty, Empty},
        {"a\0b"sv, ZeroByte, ZeroByte},
        {"\\windows\\x", Absolute, Absolute},
        {"/etc/passwd", Absolute, Absolute},
        {"\\\\server\\share", Unc, Unc},
        {"C:\\x", Colon, Colon},
        {"12:00.log", Colon, Colon},
        {"file.txt:stream", Colon, Colon},
        {"tab\there", ControlByte, ControlByte},
        {"a?.txt", ReservedCharacter, ReservedCharacter},
        {"a|b", ReservedCharacter, ReservedCharacter},
        {"dir\\", FolderOnly, FolderOnly},
        {"..\\x", ParentComponent, ParentComponent},
        {"a/../b", ParentComponent, ParentComponent},
        {"...", ParentComponent, ParentComponent},
        {".. \\x", ParentComponent, ParentComponent},
        {"b..\\x", TrailingDotOrSpace, TrailingDotOrSpace},
        {"name ", TrailingDotOrSpace, TrailingDotOrSpace},
        {"nul.txt", DeviceName, DeviceName},
        {"sub\\CON", DeviceName, DeviceName},
        {"com1.dat", DeviceName, DeviceName},
        {"lpt9", DeviceName, DeviceName},
        {"conout$", DeviceName, DeviceName},
        {"COM\xB9", DeviceName, DeviceName},      // superscript one, Western code page
        {"COM\xC2\xB9.txt", DeviceName, DeviceName},  // the same in UTF-8
        {"COM10", None, None},
        {"console", None, None},
        {".", NoFileName, NoFileName},
        {".\\.", NoFileName, NoFileName},
        // Shift_JIS: 0x95 0x5C is one character, not a folder and a broken byte.
        {"\x95\\\x8e\xa6\\\x83\\.txt", None, None},  // a folder in either reading
        {"\x83\\..", ParentComponent, TrailingDotOrSpace},  // single-byte: a folder, then ".."
        {"\x83\\nul", DeviceName, None},
        {"\x83|.txt", ReservedCharacter, None},  // 0x83 0x7C is a katakana letter
        {"\x83", None, BrokenCharacter},
        {"\x83/x", None, BrokenCharacter},
    };
    const auto sjis = LeadBytes::ForCodePage(932);
    for (const auto& c : cases) {
        EXPECT_EQ(CheckEntryName(B(c.name)), c.single) << "'" << c.name << "' single-byte";
        EXPECT_EQ(CheckEntryName(B(c.name), sjis), c.sjis) << "'" << c.name << "' Shift_JIS";
    }
}

TEST(EntryName, SplitsOnlyAtSeparatorsThatStartACharacter) {
    const auto sjis = LeadBytes::ForCodePage(932);
    const auto parts = PathComponents(B("\x95\\\x8e\xa6\\.\\\x83\\.txt"), sjis);
    ASSERT_EQ(parts.size(), 2u);
    EXPECT_EQ(std::string(parts[0].begin(), parts[0].end()), "\x95\\\x8e\xa6");
    EXPECT_EQ(std::string(parts[1].begin(), parts[1].end()), "\x83\\.txt");
    EXPECT_EQ(PathComponents(B("\x95\\\x8e\xa6\\\x83\\.txt")).size(), 4u);
    EXPECT_EQ(SplitEntryName(B("a//b/")).size(), 4u);
}

// Without lead bytes a component ends at the first separator, wherever it
// lies in a name of any length, whatever bytes surround it.
TEST(EntryName, AComponentEndsAtTheFirstSeparator) {
    for (std::size_t size = 1; size <= 20; ++size) {
        for (std::size_t at = 0; at < size; ++at) {
            for (const char separator : {'/', '\\'}) {
                std::string name(size, 'a');
                for (std::size_t i = 0; i < size; i += 3) name[i] = '\xAF';  // '/' with the top bit
                name[at] = separator;
                if (at + 2 < size) name[at + 2] = '/';
                SCOPED_TRACE(name);
                EXPECT_EQ(ComponentEnd(B(name), 0), at);
                EXPECT_EQ(ComponentEnd(B(name), at + 1), at + 2 < size ? at + 2 : size);
            }
        }
        EXPECT_EQ(ComponentEnd(B(std::string(size, '\xDC')), 0), size);
    }
}

// The rule reads eight bytes at a time: what it notices must count wherever
// it lies, in a whole word, across two, or in the last few bytes.
TEST(EntryName, EveryPlaceInANameCounts) {
    using enum NameRefusal;
    using namespace std::string_view_literals;
    const NameCase cases[] = {
        {"abcdefg\\h", None, None},
        {"abcdefgh\\i", None, None},
        {"abcdefghijklmnopqrstuvwxyz", None, None},
        {"abcdefghijklmno:", Colon, Colon},
        {"abcdefgh:", Colon, Colon},
        {"abcdefg*", ReservedCharacter, ReservedCharacter},
        {"abcdefghijk<", ReservedCharacter, ReservedCharacter},
        {"abcdefghijkl>z", ReservedCharacter, ReservedCharacter},
        {"abcdefghijklm\"", ReservedCharacter, ReservedCharacter},
        {"abcdefghi?", ReservedCharacter, ReservedCharacter},
        {"abcdefghij\x1c", ControlByte, ControlByte},
        {"abcdefghij\x7f\xbc\xaa\xbe\xdc", None, None},  // DEL and the noticed bytes with the top bit
        {"abcdefghijklmno\x1f", ControlByte, ControlByte},
        {"abcdefghijklmno\0"sv, ZeroByte, ZeroByte},
        {"ab:defghijklmn\0"sv, ZeroByte, ZeroByte},
        {"/\0"sv, ZeroByte, ZeroByte},
        {"\x83/x\0"sv, ZeroByte, ZeroByte},  // a zero byte outranks the broken character before it
        {"\x83/x\0"sv.substr(0, 3), None, BrokenCharacter},
        {"a?\x83/x", ReservedCharacter, ReservedCharacter},  // ... and a refused character outranks it
        {"directory\\nul.txt", DeviceName, DeviceName},
        {"directory\\sub\\file.", TrailingDotOrSpace, TrailingDotOrSpace},
        {"directory\\sub\\file\\", FolderOnly, FolderOnly},
        {"directory\\..\\file.txt", ParentComponent, ParentComponent},
        {"a\\b\\c\\d\\e\\f\\g\\h\\i\\j", None, None},
        {"./././././.", NoFileName, NoFileName},
        {"abcdefg\x95\\bcdefghij", None, None},          // a character across two words
        {"abcdefg\x95\\..", ParentComponent, TrailingDotOrSpace},
        {"abcdefgh\x95\\|", ReservedCharacter, ReservedCharacter},
        {"abcdefghijklmn\x95", None, BrokenCharacter},
        {"abcdefghijklmn\x95\\", FolderOnly, None},
    };
    const auto sjis = LeadBytes::ForCodePage(932);
    for (const auto& c : cases) {
        EXPECT_EQ(CheckEntryName(B(c.name)), c.single) << "'" << c.name << "' single-byte";
        EXPECT_EQ(CheckEntryName(B(c.name), sjis), c.sjis) << "'" << c.name << "' Shift_JIS";
    }
}

// Checking with the components gives the same answer, and for a safe name the
// same components PathComponents gives.
TEST(EntryName, TheCheckCutsAsPathComponentsDoes) {
    const auto sjis = LeadBytes::ForCodePage(932);
    std::vector<std::span<const std::uint8_t>> components{B("left over")};
    for (const std::string_view name :
         {"readme.txt", "./a//b/./c.txt", "abcdefgh\\ijklmnop\\qrstuvwx", "\x95\\\x8e\xa6\\.\\\x83\\.txt", "a\\..\\b",
          "abcdefg\x95\\bcdefghij", "\x83"}) {
        for (const LeadBytes& lead : {LeadBytes{}, sjis}) {
            SCOPED_TRACE(name);
            const NameRefusal refusal = CheckEntryName(B(name), lead, components);
            EXPECT_EQ(refusal, CheckEntryName(B(name), lead));
            if (refusal != NameRefusal::None) continue;
            const auto expected = PathComponents(B(name), lead);
            ASSERT_EQ(components.size(), expected.size());
            for (std::size_t i = 0; i < expected.size(); ++i) {
                EXPECT_EQ(components[i].data(), expected[i].data());
                EXPECT_EQ(components[i].size(), expected[i].size());
            }
        }
    }
    CheckEntryName(B("abcdefgh\\ijklmnop\\qrstuvwx"), LeadBytes{}, components);
    ASSERT_EQ(components.size(), 3u);
    EXPECT_EQ(std::string(components[2].begin(), components[2].end()), "qrstuvwx");
}

TEST(EntryName, LeadBytesFromTheSystemsRangePairs) {
    const std::uint8_t pairs[] = {0x81, 0x9F, 0xE0, 0xFC, 0, 0, 0x20, 0x30};
    const auto lead = LeadBytes::FromRangePairs(pairs);
    for (unsigned b = 0; b < 256; ++b)
        EXPECT_EQ(lead.IsLead(static_cast<std::uint8_t>(b)), LeadBytes::ForCodePage(932).IsLead(static_cast<std::uint8_t>(b))) << b;
    EXPECT_FALSE(LeadBytes::ForCodePage(1252).Any());
    EXPECT_TRUE(LeadBytes::ForCodePage(949).IsLead(0xFE));
}

}  // namespace
}  // namespace qvr
