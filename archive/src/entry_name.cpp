#include "qvr/entry_name.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "qvr/ascii.h"
namespace qvr {
namespace {

using Bytes = std::span<const std::uint8_t>;

// Every double-byte code page puts its second bytes at 0x40 or above, so a
// lead byte followed by anything lower (a separator, a dot, a colon, a
// control byte) is not a character.
constexpr std::uint8_t LowestTrailByte = 0x40;

// What a byte outside a two-byte character says of a name: a colon, a
// control byte or a reserved character refuses it. Separators are marked
// too (as Absolute, which the walk never takes from here), so that one look
// at the table passes every other byte.
constexpr auto ByteRefusals = [] {
    std::array<NameRefusal, 256> refusals{};
    for (unsigned b = 0; b < 0x20; ++b) refusals[b] = NameRefusal::ControlByte;
    for (const char c : {'<', '>', '"', '|', '?', '*'}) refusals[static_cast<std::uint8_t>(c)] = NameRefusal::ReservedCharacter;
    refusals[':'] = NameRefusal::Colon;
    refusals['/'] = refusals['\\'] = NameRefusal::Absolute;
    return refusals;
}();

bool SameLetters(Bytes a, std::string_view b) noexcept {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](std::uint8_t x, char y) { return AsciiUpper(x) == AsciiUpper(static_cast<std::uint8_t>(y)); });
}

// The superscript digits 1, 2 and 3 make port names too: as single bytes of
// the Western code page, or as UTF-8.
bool IsPortDigit(Bytes digit) noexcept {
    if (digit.size() == 1) {
        const std::uint8_t d = digit[0];
        return (d >= '0' && d <= '9') || d == 0xB9 || d == 0xB2 || d == 0xB3;
    }
    return digit.size() == 2 && digit[0] == 0xC2 && (digit[1] == 0xB9 || digit[1] == 0xB2 || digit[1] == 0xB3);
}

// The system opens a device, not a file, for a component whose part before
// the first dot (trailing spaces dropped) is a device name, whatever
// extension follows: "nul.txt" goes nowhere, "com1.dat" to a port.
bool NamesDevice(Bytes component) noexcept {
    // Every device name begins with one of these letters: most components
    // are told apart by their first byte, before any look for a dot.
    if (component.empty()) return false;
    switch (AsciiUpper(component[0])) {
    case 'A': case 'C': case 'L': case 'N': case 'P': break;
    default: return false;
    }
    Bytes base = component.first(static_cast<std::size_t>(
        std::find(component.begin(), component.end(), std::uint8_t{'.'}) - component.begin()));
    while (!base.empty() && base.back() == ' ') base = base.first(base.size() - 1);
    // Device names are three to seven bytes long ("CONOUT$"; "COM" and a
    // two-byte superscript digit is six): most components are not.
    if (base.size() < 3 || base.size() > 7) return false;
    static constexpr std::string_view devices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    for (const auto device : devices)
        if (SameLetters(base, device)) return true;
    if (base.size() < 4) return false;
    const Bytes stem = base.first(3);
    return (SameLetters(stem, "COM") || SameLetters(stem, "LPT")) && IsPortDigit(base.subspan(3));
}

NameRefusal CheckComponent(Bytes component) noexcept {
    const bool dotsAndSpaces =
        std::all_of(component.begin(), component.end(), [](std::uint8_t b) { return b == '.' || b == ' '; });
    if (dotsAndSpaces) return NameRefusal::ParentComponent;
    // No second byte of a two-byte character is a dot or a space, so the
    // last byte tells.
    if (component.back() == '.' || component.back() == ' ') return NameRefusal::TrailingDotOrSpace;
    if (NamesDevice(component)) return NameRefusal::DeviceName;
    return NameRefusal::None;
}

}  // namespace

LeadBytes LeadBytes::ForCodePage(std::uint32_t codePage) noexcept {
    LeadBytes lead;
    switch (codePage) {
    case 932:
        lead.AddRange(0x81, 0x9F);
        lead.AddRange(0xE0, 0xFC);
        break;
    case 936:
    case 949:
    case 950:
        lead.AddRange(0x81, 0xFE);
        break;
    default:
        break;
    }
    return lead;
}

LeadBytes LeadBytes::FromRangePairs(std::span<const std::uint8_t> pairs) noexcept {
    LeadBytes lead;
    for (std::size_t i = 0; i + 1 < pairs.size() && pairs[i] != 0; i += 2) lead.AddRange(pairs[i], pairs[i + 1]);
    return lead;
}

void LeadBytes::AddRange(std::uint8_t first, std::uint8_t last) noexcept {
    for (unsigned b = first; b <= last; ++b) lead_[b] = any_ = true;
}

NameRefusal CheckEntryName(std::span<const std::uint8_t> name, const LeadBytes& lead) noexcept {
    if (name.empty()) return NameRefusal::Empty;
    if (std::memchr(name.data(), 0, name.size()) != nullptr) return NameRefusal::ZeroByte;
    if (IsSeparator(name[0])) return name.size() >= 2 && IsSeparator(name[1]) ? NameRefusal::Unc : NameRefusal::Absolute;

    // One pass over whole characters, for every name of a directory passes
    // here. A refused character anywhere outranks a refused component, and
    // a broken character outranks both, unless a refused character came first.
    NameRefusal character = NameRefusal::None;
    NameRefusal component = NameRefusal::None;
    bool any = false;
    std::size_t start = 0;
    // The component [start, end) ends; `folderOnly`: the name ends in the separator at `end`.
    const auto close = [&](std::size_t end, bool folderOnly) {
        if (component != NameRefusal::None) return;
        const Bytes part = name.subspan(start, end - start);
        if (folderOnly) component = NameRefusal::FolderOnly;
        else if (IsDroppedComponent(part)) return;
        else if (const auto r = CheckComponent(part); r != NameRefusal::None) component = r;
        else any = true;
    };
    const std::size_t size = name.size();
    const bool anyLead = lead.Any();
    for (std::size_t i = 0; i < size; ++i) {
        const std::uint8_t b = name[i];
        if (anyLead && lead.IsLead(b)) {
            if (i + 1 >= size || name[i + 1] < LowestTrailByte)
                return character != NameRefusal::None ? character : NameRefusal::BrokenCharacter;
            ++i;
            continue;
        }
        const NameRefusal refused = ByteRefusals[b];
        if (refused == NameRefusal::None) continue;
        if (IsSeparator(b)) {
            close(i, i + 1 == size);
            start = i + 1;
        } else if (character == NameRefusal::None) {
            character = refused;
        }
    }
    // A name that ends in a separator has closed its last component there.
    if (start < size) close(size, false);
    if (character != NameRefusal::None) return character;
    if (component != NameRefusal::None) return component;
    return any ? NameRefusal::None : NameRefusal::NoFileName;
}

std::string_view Describe(NameRefusal refusal) noexcept {
    switch (refusal) {
    case NameRefusal::None: return "safe name";
    case NameRefusal::Empty: return "empty name";
    case NameRefusal::ZeroByte: return "zero byte in name";
    case NameRefusal::Absolute: return "absolute path";
    case NameRefusal::Unc: return "UNC or device path";
    case NameRefusal::Colon: return "colon in name (drive letter or stream)";
    case NameRefusal::ControlByte: return "control byte in name";
    case NameRefusal::ReservedCharacter: return "character Windows does not allow in file names (< > \" | ? *)";
    case NameRefusal::BrokenCharacter: return "broken two-byte character";
    case NameRefusal::FolderOnly: return "names a folder, not a file";
    case NameRefusal::ParentComponent: return "'..' or dots-only component";
    case NameRefusal::TrailingDotOrSpace: return "component ends in a dot or space";
    case NameRefusal::DeviceName: return "Windows device name";
    case NameRefusal::NoFileName: return "no file name";
    }
    return "refused name";
}

std::vector<std::span<const std::uint8_t>> SplitEntryName(std::span<const std::uint8_t> name,
                                                          const LeadBytes& lead) {
    std::vector<Bytes> parts;
    for (std::size_t start = 0;;) {
        const std::size_t end = ComponentEnd(name, start, lead);
        parts.push_back(name.subspan(start, end - start));
        if (end == name.size()) return parts;
        start = end + 1;
    }
}

std::vector<std::span<const std::uint8_t>> PathComponents(std::span<const std::uint8_t> name,
                                                          const LeadBytes& lead) {
    auto parts = SplitEntryName(name, lead);
    std::erase_if(parts, IsDroppedComponent);
    return parts;
}

}  // namespace qvr
