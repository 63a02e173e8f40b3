// qvr add: packs files as create does into an existing archive (made when
// missing). A file whose name is in the archive replaces that entry in its
// place; the rest go after every entry of the old archive.
#include <unordered_map>

#include <fmt/format.h>

#include "commands/commands.h"
#include "commands/gather.h"
#include "commands/options.h"
#include "commands/progress.h"
#include "commands/rewrite.h"
#include "names/path_key.h"

namespace qvr::cli {
namespace {

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
        plan.entries[e] = {in.name, in.size, std::nullopt, in.Source(), in.identity};
        plan.fresh[e] = placed[it->second] = true;
    }
    for (std::size_t i = 0; i < inputs.size(); ++i)
        if (!placed[i]) {
            plan.entries.push_back({inputs[i].name, inputs[i].size, std::nullopt, inputs[i].Source(), inputs[i].identity});
            plan.fresh.push_back(true);
        }
    return plan;
}

}  // namespace

Finish SetUpAdd(CLI::App& command, CreateOptions& options) {
    AddPositional(command, "ARCHIVE", options.archive, "The archive to change (made if missing)");
    Finish inputs = AddInputs(command, options);
    AddChangeOptions(command, options.change);
    AddCommon(command, options.common);
    SetFooter(command, R"(Examples:
  qvr add data.qvr -C tree sound/new.wav   adds sound\new.wav, or replaces it
  qvr add data.qvr readme.txt

Files are named and checked exactly as create names and checks them, and if
any is refused nothing is written. A file whose name is already in the
archive (as extraction would place it) replaces the first entry of that name,
in its place, and each replacement is named; the others go after the
archive's entries. Entries not replaced keep their stored bytes and order.
The changed archive is written beside the old one and takes its place only
when complete; a damaged archive is not changed (exit status 2).)");
    return inputs;
}

int Add(const CreateOptions& given) {
    const auto started = std::chrono::steady_clock::now();
    Reporter reporter(ArchiveLabel(given.archive, "standard output"));
    CreateOptions options = given;
    if (auto prepared = PrepareInputs(options, reporter); !prepared) return prepared.failure().status;
    // A missing archive is made; one that appears meanwhile (another add
    // made it first) is changed like any other.
    if (!IsStandardStream(options.archive)) {
        CreateOptions create = options;
        create.overwrite = false;
        if (const auto made = CreateForAdd(create)) return *made;
    }
    auto old = LoadForChange(options.archive, options.common, options.change, reporter);
    if (!old) return old.failure().status;
    // New names go in as the archive's names are: in --encoding, or in the
    // encoding its names were found in, so a file replaces the entry of its
    // name and a name the archive's encoding cannot hold is refused.
    const NameCodec& names = old->codec;
    auto gatheredOrNot = GatherInputs(options, names, reporter, old->file.Identity());
    if (!gatheredOrNot) return gatheredOrNot.failure().status;
    Gathered& gathered = *gatheredOrNot;
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

}  // namespace qvr::cli
