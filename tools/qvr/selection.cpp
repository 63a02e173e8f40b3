#include "selection.h"

#include <algorithm>

#include "platform.h"

namespace qvr::cli {
namespace {

void Normalise(std::span<const std::uint8_t> name, bool ignoreCase, const NameCharacters& characters, Bytes& out) {
    out.clear();
    const LeadBytes none;
    for (const auto part : PathComponents(name, characters.utf8 ? none : characters.lead)) {
        if (!out.empty()) out.push_back('\\');
        for (const auto b : part)
            out.push_back(ignoreCase && b >= 'A' && b <= 'Z' ? static_cast<std::uint8_t>(b + 0x20) : b);
    }
}

// True when normalising would not change the name: no slash, no empty or
// "." component. Most names are so, and are then compared where they lie.
bool AlreadyNormal(std::span<const std::uint8_t> name) {
    if (name.empty() || name.front() == '\\' || name.back() == '\\') return false;
    std::uint8_t previous = '\\';
    for (std::size_t i = 0; i < name.size(); ++i) {
        const std::uint8_t b = name[i];
        if (b == '/') return false;
        if (b == '\\' && previous == '\\') return false;
        if (b == '.' && previous == '\\' && (i + 1 == name.size() || name[i + 1] == '\\' || name[i + 1] == '/'))
            return false;
        previous = b;
    }
    return true;
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
        arguments_.push_back(std::move(argument));
    }
}

std::span<const std::uint8_t> Selection::Key(std::span<const std::uint8_t> name) {
    if (!ignoreCase_ && AlreadyNormal(name)) return name;
    Normalise(name, ignoreCase_, characters_, scratch_);
    return scratch_;
}

void Selection::Offer(std::span<const std::uint8_t> name) {
    if (arguments_.empty()) return;
    const auto key = Key(name);
    for (auto& argument : arguments_)
        if (std::ranges::equal(argument.key, key)) argument.exactSeen = true;
}

bool Selection::Selects(std::span<const std::uint8_t> name) {
    if (arguments_.empty()) return true;
    if (!settled_) {
        for (auto& argument : arguments_) {
            const Bytes text(argument.text.begin(), argument.text.end());
            argument.kind = argument.exactSeen                  ? Kind::Exact
                            : wildcards_ && IsPattern(text) ? Kind::Pattern
                                                            : Kind::Folder;
        }
        settled_ = true;
    }
    const auto key = Key(name);
    bool any = false;
    for (auto& argument : arguments_) {
        bool hit = false;
        switch (argument.kind) {
        case Kind::Exact: hit = std::ranges::equal(key, argument.key); break;
        case Kind::Folder: hit = std::ranges::equal(key, argument.key) || StartsFolder(key, argument.key); break;
        case Kind::Pattern: hit = MatchName(argument.key, key, false, characters_); break;
        }
        if (hit) argument.used = any = true;
    }
    return any;
}

EntryFilter::EntryFilter(const SelectOptions& options, const NameCodec& codec)
    : names_(ArgumentsFor(options.names, codec), !options.noWildcards, options.ignoreCase, CharactersOf(codec)),
      excluded_(ArgumentsFor(options.excludes, codec), true, options.ignoreCase, CharactersOf(codec)),
      anyExcluded_(!options.excludes.empty()), indices_(options.indices), indexUsed_(options.indices.size(), false) {}

bool EntryFilter::Selects(std::uint32_t index, std::span<const std::uint8_t> name) {
    bool chosen = names_.All() && indices_.empty();
    if (!names_.All() && names_.Selects(name)) chosen = true;
    for (std::size_t i = 0; i < indices_.size(); ++i)
        if (indices_[i] == index) chosen = indexUsed_[i] = true;
    return chosen && !(anyExcluded_ && excluded_.Selects(name));
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

}  // namespace qvr::cli
