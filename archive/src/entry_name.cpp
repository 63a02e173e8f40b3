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

// The bytes a word of eight holds that the rule must look at: zero and
// control bytes, separators, the colon and the reserved characters, each
// marked by its top bit (0x80) and nothing else. Every other byte, whatever
// the code page, passes unseen, so a plain stretch of a name costs a few
// instructions per eight bytes.
[[gnu::always_inline]] inline std::uint64_t NoticedBytes(std::uint64_t word) noexcept {
    constexpr std::uint64_t Ones = 0x0101010101010101u;
    constexpr std::uint64_t Low7 = 0x7F7F7F7F7F7F7F7Fu;
    constexpr std::uint64_t Tops = 0x8080808080808080u;
    // Exactly the zero bytes of `x` (no borrow runs into the next byte).
    const auto zeroBytes = [](std::uint64_t x) { return ~(((x & Low7) + Low7) | x) & Tops; };
    // Bytes below 0x20: their low seven bits add to no carry out of bit 6
    // and their top bit is clear.
    const std::uint64_t control = ~(((word & Low7) + Ones * (0x80 - 0x20)) | word) & Tops;
    // Masks that let one comparison catch two to four noticed bytes:
    // 0x1C, 0x3C '<', 0x5C '\\', 0x7C '|'; 0x2A '*', 0x3A ':';
    // 0x2F '/', 0x3F '?'; 0x3E '>', 0x3F '?'; and '"' alone.
    return control | zeroBytes((word & (Ones * 0x9F)) ^ (Ones * 0x1C)) | zeroBytes((word & (Ones * 0xEF)) ^ (Ones * 0x2A)) |
           zeroBytes((word & (Ones * 0xEF)) ^ (Ones * 0x2F)) | zeroBytes((word & (Ones * 0xFE)) ^ (Ones * 0x3E)) |
           zeroBytes(word ^ (Ones * '"'));
}

static_assert(std::endian::native == std::endian::little, "the name rule reads words with the first byte lowest");

std::uint64_t LoadWord(const std::uint8_t* at) noexcept {
    std::uint64_t word;
    std::memcpy(&word, at, sizeof word);
    return word;
}

// One pass over a name's whole characters, for every name of a directory
// passes here: eight bytes at a time while they hold no lead byte, then a
// byte at a time. A refused character anywhere outranks a refused
// component, and a broken character outranks both, unless a refused
// character came first.
class NameCheck {
public:
    NameCheck(Bytes name, const LeadBytes& lead, std::vector<Bytes>* components) noexcept
        : name_(name), lead_(lead), components_(components) {}

    NameRefusal Run() {
        const std::size_t size = name_.size();
        if (size == 0) return NameRefusal::Empty;
        if (IsSeparator(name_[0])) {
            if (std::memchr(name_.data(), 0, size) != nullptr) return NameRefusal::ZeroByte;
            return size >= 2 && IsSeparator(name_[1]) ? NameRefusal::Unc : NameRefusal::Absolute;
        }
        const bool anyLead = lead_.Any();
        constexpr std::uint64_t High = 0x8080808080808080u;
        std::size_t i = 0;
        bool wordwise = true;
        for (; i + 8 <= size; i += 8) {
            const std::uint64_t word = LoadWord(name_.data() + i);
            if (anyLead && (word & High) != 0) {  // a lead byte may start here
                wordwise = false;
                break;
            }
            if (!Notice(i, NoticedBytes(word))) return NameRefusal::ZeroByte;
        }
        if (wordwise && i < size) {
            // The last one to seven bytes, as the low bytes of a word: the
            // name's last eight with those already seen shifted out.
            const std::size_t rest = size - i;
            std::uint64_t word = 0;
            if (size >= 8) word = LoadWord(name_.data() + size - 8) >> (8 * (8 - rest));
            else
                for (std::size_t k = 0; k < rest; ++k) word |= std::uint64_t{name_[k]} << (8 * k);
            if (!anyLead || (word & High) == 0) {
                if (!Notice(i, NoticedBytes(word) & ((std::uint64_t{1} << (8 * rest)) - 1))) return NameRefusal::ZeroByte;
                i = size;
            }
        }
        for (; i < size; ++i) {
            const std::uint8_t b = name_[i];
            if (anyLead && lead_.IsLead(b)) {
                if (i + 1 >= size || name_[i + 1] < LowestTrailByte) {
                    if (std::memchr(name_.data() + i, 0, size - i) != nullptr) return NameRefusal::ZeroByte;
                    return character_ != NameRefusal::None ? character_ : NameRefusal::BrokenCharacter;
                }
                ++i;
                continue;
            }
            if (ByteRefusals[b] != NameRefusal::None && !Take(i)) return NameRefusal::ZeroByte;
        }
        // A name that ends in a separator has closed its last component there.
        if (start_ < size) Close(size, false);
        if (character_ != NameRefusal::None) return character_;
        if (component_ != NameRefusal::None) return component_;
        return any_ ? NameRefusal::None : NameRefusal::NoFileName;
    }

private:
    // Takes each byte `noticed` marks in the word at `at`; false at a zero byte.
    bool Notice(std::size_t at, std::uint64_t noticed) {
        for (; noticed != 0; noticed &= noticed - 1)
            if (!Take(at + static_cast<std::size_t>(std::countr_zero(noticed)) / 8)) return false;
        return true;
    }

    // The byte at `i`, outside any two-byte character, that the rule looks at.
    bool Take(std::size_t i) {
        const std::uint8_t b = name_[i];
        if (b == 0) return false;
        if (IsSeparator(b)) {
            Close(i, i + 1 == name_.size());
            start_ = i + 1;
        } else if (character_ == NameRefusal::None) {
            character_ = ByteRefusals[b];
        }
        return true;
    }

    // The component [start_, end) ends; `folderOnly`: the name ends in the separator at `end`.
    void Close(std::size_t end, bool folderOnly) {
        if (component_ != NameRefusal::None) return;
        const Bytes part = name_.subspan(start_, end - start_);
        if (folderOnly) component_ = NameRefusal::FolderOnly;
        else if (IsDroppedComponent(part)) return;
        else if (const auto r = CheckComponent(part); r != NameRefusal::None) component_ = r;
        else {
            any_ = true;
            if (components_ != nullptr) components_->push_back(part);
        }
    }

    const Bytes name_;
    const LeadBytes& lead_;
    std::vector<Bytes>* const components_;
    NameRefusal character_ = NameRefusal::None;
    NameRefusal component_ = NameRefusal::None;
    bool any_ = false;
    std::size_t start_ = 0;
};

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
    return NameCheck(name, lead, nullptr).Run();
}

NameRefusal CheckEntryName(std::span<const std::uint8_t> name, const LeadBytes& lead,
                           std::vector<std::span<const std::uint8_t>>& components) {
    components.clear();
    return NameCheck(name, lead, &components).Run();
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
