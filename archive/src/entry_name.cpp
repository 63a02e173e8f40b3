#include "qvr/entry_name.h"

#include <algorithm>

#include "qvr/ascii.h"
namespace qvr {
namespace {

using Bytes = std::span<const std::uint8_t>;

bool IsSeparator(std::uint8_t b) noexcept { return b == '/' || b == '\\'; }

// Every double-byte code page puts its second bytes at 0x40 or above, so a
// lead byte followed by anything lower (a separator, a dot, a colon, a
// control byte) is not a character.
constexpr std::uint8_t LowestTrailByte = 0x40;

// Calls `visit(offset, length)` for each character: two bytes for a lead
// byte and its trail, one otherwise. False when a lead byte has no valid
// second byte.
template <typename Visit>
bool ForEachCharacter(Bytes name, const LeadBytes& lead, Visit visit) {
    for (std::size_t i = 0; i < name.size();) {
        if (lead.IsLead(name[i])) {
            if (i + 1 >= name.size() || name[i + 1] < LowestTrailByte) return false;
            visit(i, std::size_t{2});
            i += 2;
        } else {
            visit(i, std::size_t{1});
            i += 1;
        }
    }
    return true;
}

bool IsReserved(std::uint8_t b) noexcept {
    return b == '<' || b == '>' || b == '"' || b == '|' || b == '?' || b == '*';
}

NameRefusal CheckCharacters(Bytes name, const LeadBytes& lead) noexcept {
    NameRefusal found = NameRefusal::None;
    const bool whole = ForEachCharacter(name, lead, [&](std::size_t at, std::size_t length) {
        if (found != NameRefusal::None || length != 1) return;
        const std::uint8_t b = name[at];
        if (b == ':') found = NameRefusal::Colon;
        else if (b < 0x20) found = NameRefusal::ControlByte;
        else if (IsReserved(b)) found = NameRefusal::ReservedCharacter;
    });
    if (found != NameRefusal::None) return found;
    return whole ? NameRefusal::None : NameRefusal::BrokenCharacter;
}

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
    for (unsigned b = first; b <= last; ++b) lead_[b] = true;
}

bool LeadBytes::Any() const noexcept { return std::find(lead_.begin(), lead_.end(), true) != lead_.end(); }

NameRefusal CheckEntryName(std::span<const std::uint8_t> name, const LeadBytes& lead) noexcept {
    if (name.empty()) return NameRefusal::Empty;
    if (std::find(name.begin(), name.end(), std::uint8_t{0}) != name.end()) return NameRefusal::ZeroByte;
    if (IsSeparator(name[0])) return name.size() >= 2 && IsSeparator(name[1]) ? NameRefusal::Unc : NameRefusal::Absolute;
    if (const auto r = CheckCharacters(name, lead); r != NameRefusal::None) return r;

    bool any = false;
    NameRefusal found = NameRefusal::None;
    std::size_t start = 0;
    ForEachCharacter(name, lead, [&](std::size_t at, std::size_t length) {
        const bool last = at + length == name.size();
        const bool separator = length == 1 && IsSeparator(name[at]);
        if (!separator && !last) return;
        const Bytes component = name.subspan(start, (separator ? at : name.size()) - start);
        start = at + 1;
        if (found != NameRefusal::None) return;
        if (separator && last) found = NameRefusal::FolderOnly;
        else if (IsDroppedComponent(component)) return;
        else if (const auto r = CheckComponent(component); r != NameRefusal::None) found = r;
        else any = true;
    });
    if (found != NameRefusal::None) return found;
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

std::size_t ComponentEnd(std::span<const std::uint8_t> name, std::size_t from, const LeadBytes& lead) noexcept {
    std::size_t i = from;
    while (i < name.size() && !IsSeparator(name[i])) i += lead.IsLead(name[i]) && i + 1 < name.size() ? std::size_t{2} : std::size_t{1};
    return std::min(i, name.size());
}

bool IsDroppedComponent(std::span<const std::uint8_t> component) noexcept {
    return component.empty() || (component.size() == 1 && component[0] == '.');
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
