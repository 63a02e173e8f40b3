// Which stored entry names may become a file below a folder, and how a name
// splits into folders. The one rule for every reader that writes entries to
// disk (the plug-in's disk output, qvr extract and test, the host program)
// and for qvr create, which stores only names that come back.
//
// Names are bytes in the code page of the system that made the archive. In
// a double-byte code page the second byte of a character may be 0x5C, the
// backslash: it is part of the character, never a separator, and the rule
// looks at whole characters, so it is told which bytes start two-byte ones.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>
#include <vector>

namespace qvr {

// The bytes that start a two-byte character in a code page. Empty for
// single-byte code pages and for UTF-8 (whose multi-byte sequences hold no
// byte below 0x80, so no separator or dot can hide in them).
class LeadBytes {
public:
    constexpr LeadBytes() noexcept = default;

    // The lead bytes of the double-byte Windows code pages 932 (Shift_JIS),
    // 936 (GBK), 949 (Unified Hangul) and 950 (Big5); empty for any other.
    static LeadBytes ForCodePage(std::uint32_t codePage) noexcept;

    // From bounds given in pairs and ended by a zero pair or the span's end,
    // as Windows reports a code page's lead bytes (CPINFO::LeadByte).
    static LeadBytes FromRangePairs(std::span<const std::uint8_t> pairs) noexcept;

    void AddRange(std::uint8_t first, std::uint8_t last) noexcept;
    bool IsLead(std::uint8_t b) const noexcept { return lead_[b]; }
    bool Any() const noexcept { return any_; }

private:
    std::array<bool, 256> lead_{};
    bool any_ = false;  // kept, for the walks over every name ask before each
};

enum class NameRefusal {
    None,                  // the name may be written
    Empty,                 // no bytes at all
    ZeroByte,              // a zero byte inside the name
    Absolute,              // begins with a separator
    Unc,                   // begins with two separators (a server or device path)
    Colon,                 // a drive letter or an alternate data stream
    ControlByte,           // a byte below 0x20
    ReservedCharacter,     // < > " | ? * (Windows refuses them in file names)
    BrokenCharacter,       // a two-byte character cut short or with no valid second byte
    FolderOnly,            // ends in a separator: names a folder, not a file
    ParentComponent,       // ".." or any component of dots and spaces only ("...", ".. ")
    TrailingDotOrSpace,    // Windows drops them, so "a." and "a" would be one file
    DeviceName,            // NUL, CON, PRN, AUX, COMn, LPTn, CONIN$, CONOUT$, any extension
    NoFileName,            // only empty and "." components
};

// Why `name` may not be written below a folder, or NameRefusal::None.
// Slash and backslash both separate folders; empty and "." components are
// allowed (and dropped by PathComponents).
NameRefusal CheckEntryName(std::span<const std::uint8_t> name, const LeadBytes& lead = LeadBytes{}) noexcept;

// The same, and for a safe name the components it is written as (those
// PathComponents gives) in `components`, found in the same pass: for callers
// that place every name of a directory.
NameRefusal CheckEntryName(std::span<const std::uint8_t> name, const LeadBytes& lead,
                           std::vector<std::span<const std::uint8_t>>& components);

// A few words for a message, such as "colon in name (drive letter or stream)".
std::string_view Describe(NameRefusal refusal) noexcept;

// Slash and backslash both separate folders, where they start a character.
constexpr bool IsSeparator(std::uint8_t b) noexcept { return b == '/' || b == '\\'; }

// Where the first separator at or after `from` lies, or the name's end,
// looking at bytes alone: eight at a time, since every name of a directory
// is cut here.
inline std::size_t NextSeparator(std::span<const std::uint8_t> name, std::size_t from) noexcept {
    constexpr std::uint64_t Ones = 0x0101010101010101u;
    constexpr std::uint64_t Tops = 0x8080808080808080u;
    // A byte of `word` is zero where it was `b`; the lowest such byte's
    // top bit is set, and no bit below it (borrows run upward only).
    const auto zeroBytes = [](std::uint64_t word) { return (word - Ones) & ~word & Tops; };
    std::size_t i = from;
    for (; i + 8 <= name.size(); i += 8) {
        std::uint64_t word;
        std::memcpy(&word, name.data() + i, 8);
        const std::uint64_t found = zeroBytes(word ^ (Ones * '/')) | zeroBytes(word ^ (Ones * '\\'));
        if (found) {
            if constexpr (std::endian::native == std::endian::little) return i + static_cast<std::size_t>(std::countr_zero(found)) / 8;
            break;
        }
    }
    while (i < name.size() && !IsSeparator(name[i])) ++i;
    return i;
}

// Where the component that starts at `from` (a character's start) ends: at
// the next slash or backslash that starts a character, or at the name's end.
// The one cutting rule, without allocating, for callers that look at every
// name of a large directory; defined here so that their loops inline it.
inline std::size_t ComponentEnd(std::span<const std::uint8_t> name, std::size_t from,
                                const LeadBytes& lead = LeadBytes{}) noexcept {
    if (!lead.Any()) return NextSeparator(name, from);
    std::size_t i = from;
    while (i < name.size() && !IsSeparator(name[i])) i += lead.IsLead(name[i]) && i + 1 < name.size() ? std::size_t{2} : std::size_t{1};
    return std::min(i, name.size());
}

// True for the components a safe name drops: empty ones and ".".
inline bool IsDroppedComponent(std::span<const std::uint8_t> component) noexcept {
    return component.empty() || (component.size() == 1 && component[0] == '.');
}

// The name cut at every slash or backslash that starts a character: all
// components, empty ones included.
std::vector<std::span<const std::uint8_t>> SplitEntryName(std::span<const std::uint8_t> name,
                                                          const LeadBytes& lead = LeadBytes{});

// The components a safe name is written as: SplitEntryName without the empty
// and "." ones.
std::vector<std::span<const std::uint8_t>> PathComponents(std::span<const std::uint8_t> name,
                                                          const LeadBytes& lead = LeadBytes{});

}  // namespace qvr
