#include "names/selection.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <iterator>

#include "names/path_key.h"
#include "platform/platform.h"
#include "qvr/ascii.h"
#include "qvr/format.h"
#include "qvr/scramble.h"

namespace qvr::cli {
namespace {

void Normalise(std::span<const std::uint8_t> name, bool ignoreCase, const NameCharacters& characters, Bytes& out) {
    out.clear();
    const LeadBytes none;
    for (const auto part : PathComponents(name, characters.utf8 ? none : characters.lead)) {
        if (!out.empty()) out.push_back('\\');
        for (const auto b : part)
            out.push_back(ignoreCase ? AsciiLower(b) : b);
    }
}

// True when normalising would not change the name: no slash, no empty or
// "." component. Most names are so, and are then compared where they lie.
// Every name of a directory passes here, so the scans are memchr's.
bool AlreadyNormal(std::span<const std::uint8_t> name) {
    if (name.empty() || name.front() == '\\' || name.back() == '\\') return false;
    if (std::memchr(name.data(), '/', name.size()) != nullptr) return false;
    const std::uint8_t* at = name.data();
    const std::uint8_t* const end = at + name.size();
    // A component starts at the name's start and after each backslash.
    for (;;) {
        if (*at == '\\' || (*at == '.' && (at + 1 == end || at[1] == '\\'))) return false;
        const void* separator = std::memchr(at, '\\', static_cast<std::size_t>(end - at));
        if (separator == nullptr) return true;
        at = static_cast<const std::uint8_t*>(separator) + 1;  // never `end`: the name does not end in one
    }
}

bool StartsFolder(std::span<const std::uint8_t> name, const Bytes& folder) {
    // An empty folder key ("." or "./") is the archive's top: everything.
    if (folder.empty()) return true;
    return name.size() > folder.size() && name[folder.size()] == '\\' &&
           std::equal(folder.begin(), folder.end(), name.begin());
}

}  // namespace

std::vector<std::string> ArgumentsFor(const std::vector<std::string>& arguments, const NameCodec& codec) {
    if (!codec.Converts()) return arguments;
    std::vector<std::string> out;
    for (const auto& argument : arguments) out.push_back(ArgumentAsUtf8(argument));
    return out;
}

NameCharacters CharactersOf(const NameCodec& codec) {
    return codec.Converts() ? NameCharacters{} : SystemNameCharacters();
}

Bytes NormalisedName(std::span<const std::uint8_t> name, bool ignoreCase, const NameCharacters& characters) {
    Bytes out;
    Normalise(name, ignoreCase, characters, out);
    return out;
}

Selection::Selection(const std::vector<std::string>& arguments, bool wildcards, bool ignoreCase,
                     const NameCharacters& characters)
    : wildcards_(wildcards), ignoreCase_(ignoreCase), characters_(characters) {
    for (const auto& text : arguments) {
        const Bytes bytes(text.begin(), text.end());
        Argument argument;
        argument.text = text;
        argument.key = NormalisedName(bytes, ignoreCase, characters);
        argument.unlessExact = wildcards && IsPattern(bytes) ? Kind::Pattern : Kind::Folder;
        argument.storedKey = argument.key;
        argument.storedKey.push_back('\\');
        if (argument.storedKey.size() > MaxNameLength) argument.storedKey.resize(MaxNameLength);
        DescrambleName(argument.storedKey);  // its own inverse: scrambles
        argument.kept = static_cast<std::size_t>(std::ranges::find(argument.key, std::uint8_t{'.'}) - argument.key.begin());
        arguments_.push_back(std::move(argument));
    }
    storedComparable_ = !arguments_.empty() && !ignoreCase &&
                        std::ranges::none_of(arguments_, [](const Argument& a) {
                            return a.unlessExact == Kind::Pattern || a.key.empty();
                        });
}

std::span<const std::uint8_t> Selection::Key(std::span<const std::uint8_t> name) {
    if (!ignoreCase_ && AlreadyNormal(name)) return name;
    Normalise(name, ignoreCase_, characters_, scratch_);
    return scratch_;
}

bool Selection::Hits(const Argument& argument, Kind kind, std::span<const std::uint8_t> key) const {
    switch (kind) {
    case Kind::Exact: return std::ranges::equal(key, argument.key);
    case Kind::Folder: return std::ranges::equal(key, argument.key) || StartsFolder(key, argument.key);
    case Kind::Pattern: return MatchName(argument.key, key, false, characters_);
    }
    return false;
}

bool Selection::OfferAndMayMatch(std::span<const std::uint8_t> name) {
    if (arguments_.empty()) return true;
    const auto key = Key(name);
    bool may = false;
    for (auto& argument : arguments_) {
        if (std::ranges::equal(argument.key, key)) {
            argument.exactSeen = may = true;
        } else if (!may && Hits(argument, argument.unlessExact, key)) {
            may = true;
        }
    }
    return may;
}

namespace {

// Where the first `n` bytes of `a` and `b` first differ, or `n`: eight at a
// time, since every stored name of a directory passes here.
std::size_t FirstDifference(const std::uint8_t* a, const std::uint8_t* b, std::size_t n) noexcept {
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        std::uint64_t x;
        std::uint64_t y;
        std::memcpy(&x, a + i, 8);
        std::memcpy(&y, b + i, 8);
        if (const std::uint64_t d = x ^ y) {
            if constexpr (std::endian::native == std::endian::little) return i + static_cast<std::size_t>(std::countr_zero(d)) / 8;
            break;
        }
    }
    while (i < n && a[i] == b[i]) ++i;
    return i;
}

}  // namespace

// An exact name or folder selects a name whose normal form is its key, or
// begins with its key and a separator. Where the stored name first differs
// from that key-and-separator, scrambled as names are, and every byte up
// to there stays as it is in the normal form (no '/', no '.', no separator
// first or doubled: stricter than needed, which only sends more names the
// long way), the normal form differs there too: neither can hold.
bool Selection::CannotMatchStored(std::span<const std::uint8_t> scrambled) const {
    if (!storedComparable_) return false;
    for (const auto& argument : arguments_) {
        const std::size_t compared = std::min(scrambled.size(), argument.storedKey.size());
        const std::size_t differs = FirstDifference(scrambled.data(), argument.storedKey.data(), compared);
        if (differs == compared || differs > argument.kept) return false;
        // The bytes before `differs` are the key's own; the byte there is the
        // name's, unscrambled by the mask the key-and-separator was scrambled
        // with (their XOR there), so no mask is computed.
        const std::uint8_t plain = differs < argument.key.size() ? argument.key[differs] : std::uint8_t{'\\'};
        const auto at = static_cast<std::uint8_t>(scrambled[differs] ^ argument.storedKey[differs] ^ plain);
        if (at == '/' || at == '.' || (at == '\\' && (differs == 0 || argument.key[differs - 1] == '\\')))
            return false;
    }
    return true;
}

bool Selection::Selects(std::span<const std::uint8_t> name) {
    if (arguments_.empty()) return true;
    if (!settled_) {
        for (auto& argument : arguments_) argument.kind = argument.exactSeen ? Kind::Exact : argument.unlessExact;
        settled_ = true;
    }
    const auto key = Key(name);
    bool any = false;
    for (auto& argument : arguments_)
        if (Hits(argument, argument.kind, key)) argument.used = any = true;
    return any;
}

namespace {

LeadBytes LeadOf(const NameCharacters& characters) { return characters.utf8 ? LeadBytes{} : characters.lead; }

bool HasSeparator(const std::string& argument, const NameCharacters& characters) {
    const Bytes bytes(argument.begin(), argument.end());
    return ComponentEnd(bytes, 0, LeadOf(characters)) != bytes.size();
}

// The arguments with a separator (`with`), or those without.
std::vector<std::string> Separated(const std::vector<std::string>& arguments, const NameCharacters& characters,
                                   bool with) {
    std::vector<std::string> out;
    std::ranges::copy_if(arguments, std::back_inserter(out),
                         [&](const std::string& a) { return HasSeparator(a, characters) == with; });
    return out;
}

}  // namespace

Exclusion::Exclusion(const std::vector<std::string>& arguments, bool ignoreCase, const NameCharacters& characters)
    : anchored_(Separated(arguments, characters, true), true, ignoreCase, characters), ignoreCase_(ignoreCase),
      characters_(characters) {
    for (const auto& argument : Separated(arguments, characters, false))
        anywhere_.push_back(NormalisedName(Bytes(argument.begin(), argument.end()), ignoreCase, characters));
}

bool Exclusion::Excludes(std::span<const std::uint8_t> name) {
    if (!anchored_.All() && anchored_.Selects(name)) return true;
    if (anywhere_.empty()) return false;
    Normalise(name, ignoreCase_, characters_, scratch_);
    const std::span<const std::uint8_t> key = scratch_;
    const auto lead = LeadOf(characters_);
    for (std::size_t at = 0; at < key.size();) {
        const auto end = ComponentEnd(key, at, lead);
        const auto component = key.subspan(at, end - at);
        for (const auto& pattern : anywhere_)
            if (std::ranges::equal(component, pattern) || MatchName(pattern, component, false, characters_))
                return true;
        at = end + 1;
    }
    return false;
}

EntryFilter::EntryFilter(const SelectOptions& options, const NameCodec& codec)
    : names_(ArgumentsFor(options.names, codec), !options.noWildcards, options.ignoreCase, CharactersOf(codec)),
      excluded_(ArgumentsFor(options.excludes, codec), options.ignoreCase, CharactersOf(codec)),
      indices_(options.indices), indexUsed_(options.indices.size(), false) {}

bool EntryFilter::MaySelect(std::uint32_t index, std::span<const std::uint8_t> name) {
    if (!names_.All() && names_.OfferAndMayMatch(name)) return true;
    if (names_.All() && indices_.empty()) return true;
    return std::ranges::find(indices_, index) != indices_.end();
}

bool EntryFilter::Selects(std::uint32_t index, std::span<const std::uint8_t> name) {
    bool chosen = names_.All() && indices_.empty();
    if (!names_.All() && names_.Selects(name)) chosen = true;
    for (std::size_t i = 0; i < indices_.size(); ++i)
        if (indices_[i] == index) chosen = indexUsed_[i] = true;
    return chosen && !(excluded_.Any() && excluded_.Excludes(name));
}

std::vector<std::string> EntryFilter::Misses() const {
    std::vector<std::string> out;
    for (const auto& name : names_.Unmatched())
        out.push_back("no entry matches '" + DisplayName(Bytes(name.begin(), name.end()), true) + "'");
    for (std::size_t i = 0; i < indices_.size(); ++i)
        if (!indexUsed_[i]) out.push_back("no entry has index " + std::to_string(indices_[i]));
    return out;
}

std::vector<std::string> Selection::Unmatched() const {
    std::vector<std::string> out;
    for (const auto& argument : arguments_)
        if (!argument.used) out.push_back(argument.text);
    return out;
}

std::vector<RenameTarget> RenameTargets(std::span<const std::span<const std::uint8_t>> names, const std::string& from,
                                        const NameCodec& codec) {
    const auto fromArgument = ArgumentsFor({from}, codec).front();
    const Bytes fromText(fromArgument.begin(), fromArgument.end());
    const auto fromKey = LandingKeyOfText(fromText, codec);
    const auto fromParts = SplitEntryName(fromText, codec.TextLead());
    const bool folderOnly = fromParts.size() > 1 && fromParts.back().empty();
    for (std::size_t e = 0; e < names.size() && !folderOnly; ++e)
        if (LandingKey(names[e], codec) == fromKey) return {{e, {}}};
    std::vector<RenameTarget> targets;
    if (fromKey.empty()) return targets;
    const auto characters = CharactersOf(codec);
    for (std::size_t e = 0; e < names.size(); ++e) {
        // The key is the normalised text with case folded, byte for byte,
        // so what follows OLD in the key follows it in the text too.
        const auto text = NormalisedName(TextOf(names[e], codec), false, characters);
        const auto key = LandingKeyOfText(text, codec);
        if (key.size() <= fromKey.size() || !key.starts_with(fromKey) || key[fromKey.size()] != '\\') continue;
        targets.push_back({e, Bytes(text.begin() + static_cast<std::ptrdiff_t>(fromKey.size() + 1), text.end())});
    }
    return targets;
}

}  // namespace qvr::cli
