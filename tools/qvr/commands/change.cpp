// qvr add, delete and rename: each plans the changed archive's entries
// (rewrite.h writes it and puts it in place). Untouched entries keep their
// place and stored bytes; new entries go after them.
#include <unordered_map>

#include <fmt/format.h>

#include "commands/commands.h"
#include "commands/common.h"
#include "commands/gather.h"
#include "commands/rewrite.h"
#include "names/path_key.h"
#include "names/placement.h"
#include "names/selection.h"

namespace qvr::cli {
namespace {

namespace fs = std::filesystem;

// Entries the change makes or renames (`fresh`) must land where extraction
// can write them beside everything else: no file where another entry needs
// a folder, or the reverse. Entries already in the archive are not judged.
bool ChecksPlacement(const std::vector<NewEntry>& entries, const std::vector<bool>& fresh, const NameCodec& codec,
                     Reporter& reporter) {
    Placer placer(codec);
    bool ok = true;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const auto place = placer.Add(static_cast<std::uint32_t>(i), TextOf(entries[i].name, codec));
        if (place.outcome != Placing::Clash || !(fresh[i] || fresh[place.earlier])) continue;
        const auto name = NameForMessage(entries[i].name, codec);
        if (fresh[i])
            reporter.Failed(fmt::format("'{}': {}; nothing written", name, place.reason));
        else
            reporter.Failed(fmt::format("'{}' and entry {} '{}': one is a file where the other needs a folder; "
                                        "nothing written",
                                        NameForMessage(entries[place.earlier].name, codec), i, name));
        ok = false;
    }
    return ok;
}

// The changed archive's entries: each input replaces the first entry that
// lands where it does, in that entry's place; the others go after every
// entry of the old archive.
struct AddPlan {
    std::vector<NewEntry> entries;
    std::vector<bool> fresh;            // made from a file, not kept
    std::vector<std::string> replaced;  // "entry N 'NAME'", for a message each
};

AddPlan PlanAdd(const LoadedArchive& old, const std::vector<Input>& inputs, const NameCodec& codec) {
    std::unordered_map<std::string, std::size_t> inputAt;
    for (std::size_t i = 0; i < inputs.size(); ++i) inputAt.emplace(LandingKey(inputs[i].name, codec), i);
    AddPlan plan{KeptEntries(old), {}, {}};
    plan.fresh.assign(plan.entries.size(), false);
    std::vector<bool> placed(inputs.size(), false);
    for (std::size_t e = 0; e < plan.entries.size(); ++e) {
        const auto it = inputAt.find(LandingKey(plan.entries[e].name, codec));
        if (it == inputAt.end() || placed[it->second]) continue;
        const Input& in = inputs[it->second];
        plan.replaced.push_back(fmt::format("entry {} '{}'", e, NameForMessage(plan.entries[e].name, codec)));
        plan.entries[e] = {in.name, in.size, std::nullopt, in.source, in.identity};
        plan.fresh[e] = placed[it->second] = true;
    }
    for (std::size_t i = 0; i < inputs.size(); ++i)
        if (!placed[i]) {
            plan.entries.push_back({inputs[i].name, inputs[i].size, std::nullopt, inputs[i].source, inputs[i].identity});
            plan.fresh.push_back(true);
        }
    return plan;
}

}  // namespace

int Add(const CreateOptions& given) {
    const auto started = std::chrono::steady_clock::now();
    Reporter reporter(ArchiveLabel(given.archive, "standard output"));
    CreateOptions options = given;
    std::optional<NameCodec> codec;
    if (const auto status = PrepareInputs(options, reporter, codec)) return *status;
    // A missing archive is made; one that appears meanwhile (another add
    // made it first) is changed like any other.
    if (!IsStandardStream(options.archive)) {
        CreateOptions create = options;
        create.overwrite = false;
        if (const auto made = CreateForAdd(create)) return *made;
    }
    int status = ExitBadUsage;
    auto old = LoadForChange(options.archive, options.common, options.change, reporter, status);
    if (!old) return status;
    // New names go in as the archive's names are: in --encoding, or in the
    // encoding its names were found in, so a file replaces the entry of its
    // name and a name the archive's encoding cannot hold is refused.
    const NameCodec& names = old->codec;
    Gathered gathered;
    if (const auto failed = GatherInputs(options, names, reporter, old->file.Identity(), gathered)) return *failed;
    PauseAtForTests("gathered");

    AddPlan plan = PlanAdd(*old, gathered.inputs, names);
    auto& entries = plan.entries;
    auto& fresh = plan.fresh;
    if (!ChecksPlacement(entries, fresh, names, reporter)) return ExitSomeFailed;
    if (!ReplaceArchive(*old, entries, reporter, options.verbose, !options.noFollow)) return ExitSomeFailed;
    if (!options.common.quiet)
        for (const auto& what : plan.replaced) reporter.Say("replaced " + what);
    if (!options.common.quiet && StderrIsTerminal())
        PrintSummary("added", gathered.inputs.size(), TotalSize(gathered.inputs), started);
    return gathered.skipped > 0 || reporter.AnyFailed() ? ExitSomeFailed : ExitSuccess;
}

int Delete(const DeleteOptions& options) {
    Reporter reporter(ArchiveLabel(options.archive));
    if (options.select.names.empty() && options.select.indices.empty()) {
        reporter.Say("name the entries to delete");
        return ExitBadUsage;
    }
    int status = ExitBadUsage;
    auto old = LoadForChange(options.archive, options.common, options.change, reporter, status);
    if (!old) return status;
    const NameCodec& codec = old->codec;
    EntryFilter selection(options.select, codec);
    // The kept entries stay where they are, moved up over the deleted ones:
    // one list of the directory's size, whatever the archive holds.
    auto entries = KeptEntries(*old);
    Bytes converted;
    auto textOf = [&](const NewEntry& entry) -> std::span<const std::uint8_t> {
        if (!codec.Converts()) return entry.name;
        converted = TextOf(entry.name, codec);
        return converted;
    };
    std::vector<bool> may(entries.size(), true);
    if (selection.NeedsNames())
        for (std::size_t e = 0; e < entries.size(); ++e)
            may[e] = selection.MaySelect(static_cast<std::uint32_t>(e), textOf(entries[e]));
    std::vector<std::string> deleted;
    std::size_t kept = 0;
    for (std::size_t e = 0; e < entries.size(); ++e) {
        if (may[e] && selection.Selects(static_cast<std::uint32_t>(e), textOf(entries[e])))
            deleted.push_back(NameForMessage(entries[e].name, codec));
        else if (kept++ != e)
            entries[kept - 1] = std::move(entries[e]);
    }
    entries.resize(kept);
    // All or nothing: one argument that names nothing leaves the archive as it is.
    const auto misses = selection.Misses();
    for (const auto& miss : misses) reporter.Failed(miss);
    if (!misses.empty()) {
        reporter.Say("nothing deleted");
        return ExitSomeFailed;
    }
    if (!ReplaceArchive(*old, entries, reporter)) return ExitSomeFailed;
    if (options.verbose)
        for (const auto& name : deleted) Echo(name, false);
    if (!options.common.quiet && StderrIsTerminal())
        reporter.Say(fmt::format("deleted {}", Count(deleted.size(), "entry", "entries")));
    return ExitSuccess;
}

namespace {

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

int Rename(const RenameOptions& options) {
    Reporter reporter(ArchiveLabel(options.archive));
    int status = ExitBadUsage;
    auto old = LoadForChange(options.archive, options.common, options.change, reporter, status);
    if (!old) return status;
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
