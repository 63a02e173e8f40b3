// qvr add, delete and rename: each plans the changed archive's entries
// (rewrite.h writes it and puts it in place). Untouched entries keep their
// place and stored bytes; new entries go after them.
#include <unordered_map>

#include <fmt/format.h>

#include "commands.h"
#include "common.h"
#include "gather.h"
#include "placement.h"
#include "rewrite.h"
#include "selection.h"

namespace qvr::cli {
namespace {

namespace fs = std::filesystem;

// The name that placement and messages see: converted text, or the
// stored bytes where nothing converts.
Bytes TextOf(std::span<const std::uint8_t> stored, const NameCodec& codec) {
    if (codec.Converts())
        if (auto text = codec.ToUtf8(stored)) return std::move(*text);
    return Bytes(stored.begin(), stored.end());
}

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
        plan.entries[e] = {in.name, in.size, std::nullopt, in.source};
        plan.fresh[e] = placed[it->second] = true;
    }
    for (std::size_t i = 0; i < inputs.size(); ++i)
        if (!placed[i]) {
            plan.entries.push_back({inputs[i].name, inputs[i].size, std::nullopt, inputs[i].source});
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
    std::error_code ec;
    if (!IsStandardStream(options.archive) && !fs::exists(options.archive, ec) && !ec) {
        CreateOptions create = options;
        create.overwrite = false;
        return Create(create);
    }
    int status = ExitBadUsage;
    auto old = LoadForChange(options.archive, options.common.encoding, reporter, status);
    if (!old) return status;
    Gathered gathered;
    if (const auto failed = GatherInputs(options, *codec, reporter, old->file.Identity(), gathered)) return *failed;

    AddPlan plan = PlanAdd(*old, gathered.inputs, *codec);
    auto& entries = plan.entries;
    auto& fresh = plan.fresh;
    if (!ChecksPlacement(entries, fresh, *codec, reporter)) return ExitSomeFailed;
    if (!ReplaceArchive(options.archive, *old, entries, reporter, options.verbose)) return ExitSomeFailed;
    if (!options.common.quiet)
        for (const auto& what : plan.replaced) reporter.Say("replaced " + what);
    if (!options.common.quiet && StderrIsTerminal())
        PrintSummary("added", gathered.inputs.size(), TotalSize(gathered.inputs), started);
    return gathered.skipped > 0 ? ExitSomeFailed : ExitSuccess;
}

int Delete(const DeleteOptions& options) {
    Reporter reporter(ArchiveLabel(options.archive));
    if (options.select.names.empty() && options.select.indices.empty()) {
        reporter.Say("name the entries to delete");
        return ExitBadUsage;
    }
    int status = ExitBadUsage;
    auto old = LoadForChange(options.archive, options.common.encoding, reporter, status);
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
    if (!ReplaceArchive(options.archive, *old, entries, reporter)) return ExitSomeFailed;
    if (options.verbose)
        for (const auto& name : deleted) Echo(name, false);
    if (!options.common.quiet && StderrIsTerminal())
        reporter.Say(fmt::format("deleted {}", Count(deleted.size(), "entry", "entries")));
    return ExitSuccess;
}

int Rename(const RenameOptions& options) {
    Reporter reporter(ArchiveLabel(options.archive));
    int status = ExitBadUsage;
    auto old = LoadForChange(options.archive, options.common.encoding, reporter, status);
    if (!old) return status;
    const NameCodec& codec = old->codec;

    // The new name as create would store a path of these parts.
    // The command line is in the system's characters: on Windows a 0x5C
    // inside a character is no separator.
    std::vector<fs::path> parts;
    const auto system = SystemNameCharacters();
    const Bytes to(options.to.begin(), options.to.end());
    for (const auto component : SplitEntryName(to, system.utf8 ? LeadBytes{} : system.lead)) {
        const std::string part(component.begin(), component.end());
        if (part == "..") {
            reporter.Say(fmt::format("'{}': a name cannot climb out of the archive", options.to));
            return ExitSomeFailed;
        }
        if (!part.empty() && part != ".") parts.emplace_back(part);
    }
    auto stored = StoredNameFor(parts, codec, options.common.encoding);
    if (stored.bytes.empty() && stored.refusal.empty()) stored.refusal = "no name to store it under";
    if (!stored.refusal.empty()) {
        reporter.Failed(fmt::format("'{}': {}; nothing written", options.to, stored.refusal));
        return ExitSomeFailed;
    }

    auto entries = KeptEntries(*old);
    const auto fromArgument = ArgumentsFor({options.from}, codec).front();
    const auto fromKey = LandingKeyOfText(Bytes(fromArgument.begin(), fromArgument.end()), codec);
    const auto toKey = LandingKey(stored.bytes, codec);
    std::optional<std::size_t> renamed;
    for (std::size_t e = 0; e < entries.size(); ++e) {
        const auto key = LandingKey(entries[e].name, codec);
        if (!renamed && key == fromKey) {
            renamed = e;
        } else if (key == toKey) {
            reporter.Failed(fmt::format("entry {} '{}' exists; nothing renamed", e, NameForMessage(entries[e].name, codec)));
            return ExitSomeFailed;
        }
    }
    if (!renamed) {
        reporter.Failed(fmt::format("no entry named '{}'", DisplayName(Bytes(options.from.begin(), options.from.end()), true)));
        return ExitSomeFailed;
    }
    entries[*renamed].name = std::move(stored.bytes);
    std::vector<bool> fresh(entries.size(), false);
    fresh[*renamed] = true;
    if (!ChecksPlacement(entries, fresh, codec, reporter)) return ExitSomeFailed;
    if (!ReplaceArchive(options.archive, *old, entries, reporter)) return ExitSomeFailed;
    if (!options.common.quiet && StderrIsTerminal())
        reporter.Say(fmt::format("renamed '{}' to '{}'", options.from, options.to));
    return ExitSuccess;
}

}  // namespace qvr::cli
