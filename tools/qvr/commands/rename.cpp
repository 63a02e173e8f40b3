// qvr rename: an entry, or a folder of entries, takes a new name, checked
// as create checks a name; every entry keeps its place and stored data.
#include <unordered_map>

#include <fmt/format.h>

#include "commands/commands.h"
#include "names/stored_name.h"
#include "commands/options.h"
#include "commands/rewrite.h"
#include "names/names.h"
#include "names/path_key.h"
#include "names/selection.h"

namespace qvr::cli {
namespace {

namespace fs = std::filesystem;

// NEW as the parts of a path, as create would take a path of these parts.
// The command line is in the system's characters: on Windows a 0x5C inside
// a character is no separator. nullopt when it names no place in an
// archive (said).
std::optional<std::vector<fs::path>> NewNameParts(const std::string& to, Reporter& reporter) {
    const auto system = SystemNameCharacters();
    const Bytes bytes(to.begin(), to.end());
    std::vector<fs::path> parts;
    for (const auto component : SplitEntryName(bytes, system.utf8 ? LeadBytes{} : system.lead)) {
        const std::string part(component.begin(), component.end());
        if (part == "..") {
            reporter.Failed(fmt::format("'{}': a name cannot climb out of the archive; nothing renamed", to));
            return std::nullopt;
        }
        if (!part.empty() && part != ".") parts.emplace_back(part);
    }
    // Create drops a leading '/' with a warning; here the one name given is
    // the whole request, so it is refused rather than changed.
    if (!bytes.empty() && (bytes.front() == '/' || bytes.front() == '\\')) {
        reporter.Failed(fmt::format("'{}': entry names are relative to the archive, not absolute; nothing renamed", to));
        return std::nullopt;
    }
    return parts;
}

// One entry to rename and the parts of its new name.
struct Renaming {
    std::size_t entry;
    std::vector<fs::path> parts;
};

// RenameTargets (selection.h), each with NEW and what follows OLD in its
// name as folders below NEW.
std::vector<Renaming> PlanRenaming(const std::vector<NewEntry>& entries, const std::string& from,
                                   const std::vector<fs::path>& to, const NameCodec& codec) {
    std::vector<std::span<const std::uint8_t>> names;
    names.reserve(entries.size());
    for (const auto& entry : entries) names.push_back(entry.name);
    std::vector<Renaming> plan;
    for (const auto& target : RenameTargets(names, from, codec)) {
        Renaming renaming{target.entry, to};
        for (const auto part : PathComponents(target.rest, codec.TextLead()))
            if (auto native = codec.NativeComponent(part)) renaming.parts.push_back(std::move(*native));
            else return {};  // cannot happen for text the codec gave; nothing renamed rather than a wrong name
        plan.push_back(std::move(renaming));
    }
    return plan;
}

std::string PartsForMessage(const std::vector<fs::path>& parts) {
    fs::path joined;
    for (const auto& part : parts) joined /= part;
    return joined.generic_string();
}

}  // namespace

Finish SetUpRename(CLI::App& command, RenameOptions& options) {
    AddPositional(command, "ARCHIVE", options.archive, "The archive to change");
    AddPositional(command, "OLD", options.from,
                       "The entry's name (the first entry of that name), or else a folder (every entry under it)");
    AddPositional(command, "NEW", options.to, "Its new name; / and \\ separate folders");
    AddChangeOptions(command, options.change);
    AddCommon(command, options.common);
    SetFooter(command, R"(Examples:
  qvr rename data.qvr readme.txt doc/readme.txt
  qvr rename data.qvr sound audio          sound\a.wav becomes audio\a.wav, ...

The new name is checked as create checks every name, stored in the archive's
encoding, and refused if an entry of that name exists (in any case: Windows,
where the archive is read, takes CASE.txt and case.txt for one file), if it is
absolute, or if it would need a file as a folder. Nothing else changes: every
entry keeps its place and its stored data.)");
    return [&options](AfterDashes& rest) -> Done {
        std::string archive = options.archive.string();
        if (auto taken = rest.Exactly({&archive, &options.from, &options.to}, "ARCHIVE OLD NEW"); !taken)
            return taken;
        options.archive = archive;
        return {};
    };
}

int Rename(const RenameOptions& options) {
    Reporter reporter(ArchiveLabel(options.archive));
    auto old = LoadForChange(options.archive, options.common, options.change, reporter);
    if (!old) return old.failure().status;
    const NameCodec& codec = old->codec;
    const auto to = NewNameParts(options.to, reporter);
    if (!to) return ExitSomeFailed;

    auto entries = KeptEntries(*old);
    const auto plan = PlanRenaming(entries, options.from, *to, codec);
    if (plan.empty()) {
        reporter.Failed(fmt::format("no entry named '{}' and no folder of that name",
                                    DisplayName(Bytes(options.from.begin(), options.from.end()), true)));
        return ExitSomeFailed;
    }
    // Every new name as create would store it, in the archive's encoding.
    std::vector<Bytes> names;
    std::unordered_map<std::string, std::size_t> newKeys;
    std::vector<bool> fresh(entries.size(), false);
    for (const auto& renaming : plan) {
        auto stored = StoredNameFor(renaming.parts, codec, options.common.encoding);
        if (stored.bytes.empty() && stored.refusal.empty()) stored.refusal = "no name to store it under";
        if (!stored.refusal.empty()) {
            reporter.Failed(fmt::format("'{}': {}; nothing renamed", PartsForMessage(renaming.parts), stored.refusal));
            return ExitSomeFailed;
        }
        newKeys.emplace(LandingKey(stored.bytes, codec), names.size());
        names.push_back(std::move(stored.bytes));
        fresh[renaming.entry] = true;
    }
    // No new name may land where an entry that stays does: on Windows, where
    // every reader of these archives runs, names that differ only in case
    // are one file.
    for (std::size_t e = 0; e < entries.size(); ++e) {
        if (fresh[e]) continue;
        const auto it = newKeys.find(LandingKey(entries[e].name, codec));
        if (it == newKeys.end()) continue;
        const auto characters = CharactersOf(codec);
        const bool sameName = NormalisedName(TextOf(entries[e].name, codec), false, characters) ==
                              NormalisedName(TextOf(names[it->second], codec), false, characters);
        reporter.Failed(fmt::format("entry {} '{}' exists{}; nothing renamed", e, NameForMessage(entries[e].name, codec),
                                    sameName ? "" : fmt::format(" and '{}' would be the same file on Windows, which "
                                                                 "ignores case",
                                                                 NameForMessage(names[it->second], codec))));
        return ExitSomeFailed;
    }
    for (std::size_t i = 0; i < plan.size(); ++i) entries[plan[i].entry].name = std::move(names[i]);
    if (!ChecksPlacement(entries, fresh, codec, reporter)) return ExitSomeFailed;
    if (!ReplaceArchive(*old, entries, reporter)) return ExitSomeFailed;
    if (!options.common.quiet && StderrIsTerminal())
        reporter.Say(fmt::format("renamed '{}' to '{}'", options.from, options.to));
    return ExitSuccess;
}

}  // namespace qvr::cli
