#include "commands/rewrite.h"

#include <algorithm>

#include <fmt/format.h>

#include "commands/pack.h"
#include "commands/structure.h"
#include "names/names.h"
#include "names/placement.h"
#include "names/selection.h"

namespace qvr::cli {

namespace fs = std::filesystem;

Step<ChangingArchive> LoadForChange(const fs::path& archive, const CommonOptions& common, const ChangeOptions& change,
                                   Reporter& reporter) {
    const Reported unusable{ExitBadUsage};
    if (IsStandardStream(archive)) {
        reporter.Say("a change needs an archive file, not a stream");
        return unusable;
    }
    auto target = ChangeTarget::Open(archive, !change.noWait, change.breakLinks, [&] {
        if (!common.quiet && StderrIsTerminal())
            reporter.Say("another qvr is changing it; waiting for it to finish (--no-wait fails instead)");
    });
    if (!target) {
        // Refusals of what the archive is (not a file at all) are usage;
        // the rest are a change that could not be made.
        reporter.Failed(target.error());
        return Reported{target.failure().why == ChangeTarget::Refusal::NotAFile ? ExitBadUsage : ExitSomeFailed};
    }
    auto file = target->Read();
    if (!file) {
        reporter.Say("cannot read: " + file.error());
        return unusable;
    }
    auto loaded = LoadArchive(archive, common.encoding, reporter, TalkOf(common.quiet, false), std::move(*file));
    if (!loaded) return unusable;
    const auto problems = StructureProblems(*loaded);
    if (!problems.empty()) {
        for (const auto& problem : problems) reporter.Say("damaged: " + problem);
        reporter.Say("a damaged archive is not changed (qvr test names what is wrong; extract what can be read)");
        return unusable;
    }
    PauseAtForTests("loaded");
    return ChangingArchive(std::move(*loaded), std::move(*target));
}

std::vector<NewEntry> KeptEntries(const LoadedArchive& old) {
    std::vector<NewEntry> entries;
    entries.reserve(old.opened.header.entryCount);
    auto cursor = old.opened.Begin();
    Entry entry;
    // The structure was checked: every entry can be read.
    while (cursor.index < old.opened.header.entryCount && ReadNextEntry(cursor, entry)) {
        const auto name = entry.NameBytes();
        entries.push_back({Bytes(name.begin(), name.end()), entry.dataSize, entry.dataOffset, {}});
    }
    return entries;
}

namespace {

// Header and directory, then the data in directory order: kept data that
// lay back to back in the old archive move as one copy, so an untouched run
// of entries costs one call however many there are.
bool WriteEntries(const LoadedArchive& old, const std::vector<NewEntry>& entries, const ArchiveLayout& layout,
                  NativeHandle to, Reporter& reporter, bool echo, bool followLinks) {
    if (const auto written = WriteAll(to, layout.headAndDirectory); !written) {
        reporter.Failed("cannot write: " + written.error());
        return false;
    }
    std::uint64_t runStart = 0;
    std::uint64_t runSize = 0;
    // The new archive is synced before it takes the name: copied in pieces,
    // each piece's writing out is started while the next is copied, so the
    // final sync waits for little more than the last piece.
    constexpr std::uint64_t Piece = std::uint64_t{64} << 20;
    auto flush = [&] {
        while (runSize > 0) {
            const std::uint64_t piece = std::min(runSize, Piece);
            const auto copied = CopyStored(old.file, runStart, piece, to);
            if (!copied || *copied != piece) {
                reporter.Failed(copied ? "the archive ended while it was copied" : "cannot copy: " + copied.error());
                return false;
            }
            StartWriteOut(to);
            runStart += piece;
            runSize -= piece;
        }
        return true;
    };
    for (const auto& entry : entries) {
        if (entry.kept) {
            if (runSize > 0 && runStart + runSize == *entry.kept) {
                runSize += entry.size;
                continue;
            }
            if (!flush()) return false;
            runStart = *entry.kept;
            runSize = entry.size;
            continue;
        }
        if (!flush() || !PackFile({nullptr, entry.source.native(), entry.name, entry.size, entry.identity}, followLinks, to, false,
                                  reporter))
            return false;
        if (echo) Echo(NameForMessage(entry.name, old.codec), false);
    }
    return flush();
}

}  // namespace

bool ReplaceArchive(ChangingArchive& old, const std::vector<NewEntry>& entries, Reporter& reporter, bool echo,
                    bool followLinks) {
    std::vector<EntrySpec> specs;
    specs.reserve(entries.size());
    for (const auto& entry : entries) specs.push_back({entry.name, entry.size});
    const LayoutResult planned = PlanArchive(specs);
    if (!planned.ok()) {
        reporter.Failed(planned.error + "; nothing written");
        return false;
    }
    InstallInterruptCleanup();
    auto temp = old.target.CreateReplacement();
    if (!temp) {
        reporter.Failed(temp.error() + "; not changed");
        return false;
    }
    const std::string ownership = old.target.KeepOwnership(*temp);
    const bool written = WriteEntries(old, entries, planned.layout, temp->Handle(), reporter, echo, followLinks);
    // Closed before the replacement: Windows replaces no file this process holds open.
    old.file = InputFile();
    if (!written) {
        reporter.Say("not changed");
        return false;
    }
    PauseAtForTests("written");
    const auto replaced = old.target.Replace(*temp);
    if (!replaced) {
        reporter.Failed("cannot put the changed archive in place: " + replaced.error() + "; not changed");
        return false;
    }
    switch (*replaced) {
    case CommitStatus::Placed:
        break;
    case CommitStatus::Changed:
    case CommitStatus::Exists:  // only when not replacing, which a change always is
        reporter.Failed("changed while it was being changed; nothing written");
        return false;
    }
    if (!ownership.empty()) reporter.Say(ownership);
    return true;
}

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

}  // namespace qvr::cli
