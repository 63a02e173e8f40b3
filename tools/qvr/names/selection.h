// Which entries a command line names, for list and extract. An argument
// that is exactly an entry's name selects that entry and nothing else; an
// argument without wildcards that names a folder of entries selects
// everything under it ("sub", "sub/", "./sub/"); any other argument is a
// shell-style pattern, matched character by character against the whole
// name. Slash and backslash are the same separator throughout, and empty
// and "." components are dropped before comparing.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "commands/commands.h"
#include "names/names.h"

namespace qvr::cli {

class Selection {
public:
    // `wildcards` false: no argument is a pattern (--no-wildcards).
    Selection(const std::vector<std::string>& arguments, bool wildcards, bool ignoreCase,
              const NameCharacters& characters = SystemNameCharacters());

    // True when there are no arguments: every entry is selected.
    bool All() const noexcept { return arguments_.empty(); }

    // Every entry's name must be offered here once, before the first call
    // of Selects, so that an argument equal to a name is known to be a name
    // even if it looks like a pattern ("a[1].txt"). Returns whether some
    // argument may select the name once every name has been offered (as an
    // exact name, or else as a folder or pattern): a superset of what
    // Selects will choose, found with the same look at the name.
    bool OfferAndMayMatch(std::span<const std::uint8_t> name);

    bool Selects(std::span<const std::uint8_t> name);

    // True when no argument can select the name whose stored (scrambled)
    // bytes these are, found without decoding more of it than the
    // arguments' length: offering such a name changes nothing. False
    // where it cannot be told so cheaply (patterns, folded case).
    bool CannotMatchStored(std::span<const std::uint8_t> scrambled) const;

    // The arguments that selected nothing, as given.
    std::vector<std::string> Unmatched() const;

private:
    enum class Kind { Exact, Folder, Pattern };
    struct Argument {
        std::string text;
        Bytes key;  // normalised
        Kind kind = Kind::Folder;
        Kind unlessExact = Kind::Folder;  // its kind when no name equals it
        bool exactSeen = false;
        bool used = false;
        Bytes storedKey;       // the key and a separator, scrambled as a stored name would be
        std::size_t kept = 0;  // how far the key stays as it is in a name (before any '.')
    };
    std::span<const std::uint8_t> Key(std::span<const std::uint8_t> name);
    bool Hits(const Argument& argument, Kind kind, std::span<const std::uint8_t> key) const;

    std::vector<Argument> arguments_;
    bool wildcards_;
    bool ignoreCase_;
    bool storedComparable_ = false;  // every argument an exact name or folder, compared with case
    bool settled_ = false;
    NameCharacters characters_;
    Bytes scratch_;
};

// What --exclude leaves out, for every command that takes it. A pattern or
// name without a separator matches any one component of a name, so a
// folder of that name anywhere goes with everything in it (--exclude .git,
// --exclude '*.bak'), as tar does; one with a separator matches the name
// from its start, as a NAME selects (tree/cache and all under it).
class Exclusion {
public:
    Exclusion(const std::vector<std::string>& arguments, bool ignoreCase,
              const NameCharacters& characters = SystemNameCharacters());
    bool Any() const noexcept { return !anchored_.All() || !anywhere_.empty(); }
    bool Excludes(std::span<const std::uint8_t> name);

private:
    Selection anchored_;       // arguments with a separator
    std::vector<Bytes> anywhere_;  // the others, normalised
    bool ignoreCase_;
    NameCharacters characters_;
    Bytes scratch_;
};

// The whole choice of list, extract and delete: entries the names select
// or that --index names (all when there are neither), less those an
// --exclude matches. Names are the text `codec` gives.
class EntryFilter {
public:
    EntryFilter(const SelectOptions& options, const NameCodec& codec);
    // Every entry's name must be offered (MaySelect) before the first
    // Selects when this is true.
    bool NeedsNames() const noexcept { return !names_.All(); }
    // For one walk where names must be offered: offers the name and tells
    // whether the entry may be chosen once every name has been (by a name
    // or its index; --exclude is left to Selects). After the walk, Selects
    // is needed only for the entries this accepted.
    bool MaySelect(std::uint32_t index, std::span<const std::uint8_t> name);
    // True when MaySelect is sure to be false for the name stored as
    // `scrambled`, whatever the entry's index, and need not be asked.
    // Only for names that are offered as stored (no converting codec).
    bool CannotSelectStored(std::span<const std::uint8_t> scrambled) const {
        return !names_.All() && indices_.empty() && names_.CannotMatchStored(scrambled);
    }
    bool Selects(std::uint32_t index, std::span<const std::uint8_t> name);
    // A message for each name and index that selected nothing.
    std::vector<std::string> Misses() const;

private:
    Selection names_;
    Exclusion excluded_;
    std::vector<std::uint32_t> indices_;
    std::vector<bool> indexUsed_;
};

// The arguments as text comparable with the names `codec` gives: UTF-8
// when it converts, as given otherwise.
std::vector<std::string> ArgumentsFor(const std::vector<std::string>& arguments, const NameCodec& codec);

// The characters of names as `codec` gives them: UTF-8 when it converts,
// the system's otherwise.
NameCharacters CharactersOf(const NameCodec& codec);

// The name with one separator ('\'), no empty or "." components, and A-Z
// folded to a-z when `ignoreCase`.
Bytes NormalisedName(std::span<const std::uint8_t> name, bool ignoreCase, const NameCharacters& characters);

// What `qvr rename OLD NEW` renames among `names` (stored, in directory
// order): the first entry that lands where OLD does (path_key.h), or else
// the folder OLD: every entry under it, each with what follows OLD in its
// name (normalised) as `rest`. OLD ending in a separator names only a
// folder. Empty when OLD names neither.
struct RenameTarget {
    std::size_t entry = 0;
    Bytes rest;  // empty for the entry named OLD itself
};
std::vector<RenameTarget> RenameTargets(std::span<const std::span<const std::uint8_t>> names, const std::string& from,
                                        const NameCodec& codec);

}  // namespace qvr::cli
