// qvr extract: a walk of the directory decides what goes where (after one
// that shows the selection every name, when entries are selected); then each
// entry is one read from the archive straight into a new file, written under
// a temporary name and renamed into place, on up to two threads.
#include <algorithm>
#include <memory>
#include <thread>
#include <unordered_map>

#include <fmt/format.h>

#include "commands/commands.h"
#include "commands/open_archive.h"
#include "commands/options.h"
#include "commands/progress.h"
#include "commands/report.h"
#include "names/placement.h"
#include "names/safe_path.h"
#include "names/selection.h"
#include "qvr/scramble.h"

namespace qvr::cli {
namespace {

struct Job {
    std::uint32_t index = 0;
    std::uint32_t size = 0;
    std::uint32_t offset = 0;
    std::uint32_t folder = 0;     // into the list of relative folders
    std::uint32_t where = 0;      // the entry's place in the directory, to name it in messages
    std::filesystem::path leaf;   // file name inside that folder
};

struct Plan {
    std::vector<std::filesystem::path> folders;  // relative to the target; [0] is the target itself
    std::vector<Job> jobs;
    std::uint64_t bytes = 0;
};

// Names for messages are read again from the directory when needed, so
// that the plan holds no copy of every name.
struct Namer {
    WalkedArchive& archive;
    std::string operator()(const Job& job) const {
        const auto entry = archive.EntryAt(job.index, job.where);
        return entry ? NameForMessage(entry->NameBytes(), archive.codec) : "?";
    }
};

// Keeps folders open once reached, since entries of many folders may come
// interleaved; beyond a bound (file handles are limited) it starts afresh.
class FolderCache {
public:
    FolderCache(const Folder& root, std::size_t folderCount) : root_(root), open_(folderCount) {}
    Result<const Folder*> Get(std::uint32_t id, const std::filesystem::path& relative) {
        if (id == 0) return &root_;
        auto& slot = open_[id];
        if (slot) return &*slot;
        if (++held_ > MaxOpen) {
            for (auto& f : open_) f.reset();
            held_ = 1;
        }
        auto reached = root_.Descend(relative);
        if (!reached) {
            --held_;
            return reached.failure();
        }
        slot.emplace(std::move(*reached));
        return &*slot;
    }

private:
    static constexpr std::size_t MaxOpen = 256;
    const Folder& root_;
    std::vector<std::optional<Folder>> open_;
    std::size_t held_ = 0;
};

bool FitsInArchive(const InputFile& file, const Job& job) {
    return std::uint64_t{job.offset} + job.size <= file.Size();
}

std::string TruncatedText(const InputFile& file, const Job& job) {
    const std::uint64_t present = job.offset >= file.Size() ? 0 : file.Size() - job.offset;
    return fmt::format("truncated: the archive holds {} of its {} bytes; skipped", present, job.size);
}

// What the workers share besides the plan.
struct Extraction {
    InputFile& archive;  // read at offsets only, from both threads
    const Plan& plan;
    const Namer& name;
    Reporter& reporter;
    bool overwrite;
    bool verbose;
    std::atomic<std::uint64_t> kept{0};
    std::atomic<std::uint64_t> written{0};
    std::atomic<std::uint64_t> writtenBytes{0};
};

// `data`, when given, are the entry's bytes already read and descrambled.
void ExtractOne(Extraction& run, const Job& job, FolderCache& folders,
                std::optional<std::span<const std::uint8_t>> data = std::nullopt) {
    const InputFile& archive = run.archive;
    const Plan& plan = run.plan;
    const Namer& name = run.name;
    Reporter& reporter = run.reporter;
    if (!FitsInArchive(archive, job)) {
        reporter.EntryFailed(job.index, name(job), TruncatedText(archive, job));
        return;
    }
    const auto reached = folders.Get(job.folder, plan.folders[job.folder]);
    if (!reached) {
        reporter.EntryFailed(job.index, name(job), reached.error());
        return;
    }
    const Folder* folder = *reached;
    // No look before writing: the rename refuses an existing name on its
    // own (atomically), and a fresh folder, the common case, has none.
    auto temp = folder->CreateTemp(TempBits::Usual);
    if (!temp) {
        reporter.EntryFailed(job.index, name(job), temp.error());
        return;
    }
    Result<std::uint64_t> copied = std::uint64_t{job.size};
    if (!data)
        copied = CopyMasked(archive, job.offset, job.size, temp->Handle(), false);
    else if (auto written = WriteAll(temp->Handle(), *data); !written)
        copied = written.failure();
    if (!copied || *copied != job.size) {
        reporter.EntryFailed(job.index, name(job),
                             copied ? "the archive ends inside its data; skipped" : "cannot write: " + copied.error());
        return;
    }
    const auto committed = temp->Commit(job.leaf, run.overwrite);
    if (!committed) {
        reporter.EntryFailed(job.index, name(job), "cannot put in place: " + committed.error());
        return;
    }
    switch (*committed) {
    case CommitStatus::Placed:
        if (run.verbose) Echo(name(job), false);
        run.written.fetch_add(1, std::memory_order_relaxed);
        run.writtenBytes.fetch_add(job.size, std::memory_order_relaxed);
        break;
    case CommitStatus::Exists:
        // Keeping an existing file is what was asked for; a folder where
        // the file should go is not.
        if (const auto kind = folder->Probe(job.leaf); kind == NodeKind::File || kind == NodeKind::Link) {
            run.kept.fetch_add(1, std::memory_order_relaxed);
            if (run.verbose) reporter.Say(fmt::format("entry {} '{}': exists; kept", job.index, name(job)));
        } else {
            reporter.EntryFailed(job.index, name(job), "a folder or other non-file of that name exists; skipped");
        }
        break;
    case CommitStatus::Changed:
        reporter.EntryFailed(job.index, name(job), std::string("cannot put in place: ") + NameChangedText);
        break;
    }
}

// Small entries that lie one after another in the archive, as a writer
// lays them, are read in one slice: a read a file costs as much as making
// it. A larger entry is copied by the kernel on its own, each byte once,
// where a slice would copy it in and out of memory.
constexpr std::size_t SliceBytes = std::size_t{256} << 10;
constexpr std::size_t SliceEntryMax = std::size_t{64} << 10;
constexpr std::size_t SliceJobs = 64;

// How many of `jobs`, from the first, one slice holds: small entries within
// the archive, each starting where the one before ended.
std::size_t SliceLength(std::span<const Job> jobs, const InputFile& archive) {
    std::size_t n = 0;
    const std::uint64_t start = jobs.empty() ? 0 : jobs[0].offset;
    std::uint64_t end = start;
    for (; n < jobs.size(); ++n) {
        const Job& job = jobs[n];
        if (job.offset != end || job.size > SliceEntryMax || !FitsInArchive(archive, job) ||
            end + job.size - start > SliceBytes)
            break;
        end += job.size;
    }
    return n;
}

// Extracts `jobs`, reading runs of neighbours in one slice each, into
// `sliceRoom` (SliceBytes): reads fill what is used, so it is never cleared.
void ExtractRun(Extraction& run, std::span<const Job> jobs, FolderCache& folders, Progress& progress,
                std::span<std::uint8_t> sliceRoom) {
    while (!jobs.empty()) {
        std::size_t n = SliceLength(jobs, run.archive);
        std::span<std::uint8_t> slice;
        if (n > 1) {
            const std::uint64_t bytes = std::uint64_t{jobs[n - 1].offset} + jobs[n - 1].size - jobs[0].offset;
            slice = sliceRoom.first(static_cast<std::size_t>(bytes));
            // A short read (the file shrank meanwhile) leaves each entry to
            // its own read, which says what is missing.
            if (run.archive.ReadAt(jobs[0].offset, slice) != slice.size()) n = 1;
        }
        if (n <= 1) {
            ExtractOne(run, jobs[0], folders);
            progress.Add(1, jobs[0].size);
        } else {
            for (const Job& job : jobs.first(n)) {
                const auto data = slice.subspan(job.offset - jobs[0].offset, job.size);
                DescrambleContent(data);
                ExtractOne(run, job, folders, data);
                progress.Add(1, job.size);
            }
        }
        progress.Tick();
        jobs = jobs.subspan(std::max<std::size_t>(n, 1));
    }
}

std::string FolderKey(const std::filesystem::path& p) { return p.generic_string(); }

// The plan's number for the folder `parent`, which joins the plan when
// first met.
std::uint32_t FolderId(Plan& plan, std::unordered_map<std::string, std::uint32_t>& ids,
                       const std::filesystem::path& parent) {
    const auto [it, added] = ids.try_emplace(FolderKey(parent), static_cast<std::uint32_t>(plan.folders.size()));
    if (added) plan.folders.push_back(parent);
    return it->second;
}

// --strip-components: the name without its first `count` folders (the name
// itself when `count` is 0); nullopt when a name with no more than that
// many parts has nothing left to write.
std::optional<Bytes> StrippedName(std::span<const std::uint8_t> name, unsigned count, const LeadBytes& lead) {
    Bytes stripped;
    if (count == 0) return stripped;
    const auto parts = PathComponents(name, lead);
    if (parts.size() <= count) return std::nullopt;
    for (std::size_t p = count; p < parts.size(); ++p) {
        if (!stripped.empty()) stripped.push_back('\\');
        stripped.insert(stripped.end(), parts[p].begin(), parts[p].end());
    }
    return stripped;
}

// Where a walk met an entry that may be chosen.
struct Candidate {
    std::uint32_t index;
    std::uint32_t where;
};

// The entries that may be selected by name, each where the walk met it,
// and how many entries were read whole. Whether an argument is an exact
// name, a folder or a pattern is known only once every name has been
// offered (`nameOf`), so this walk only keeps where it met the entries that
// may be chosen. `guess`, when given, is shown every name as stored: the
// same walk serves the encoding's guess. The walk holds a window, not the
// directory.
template <typename NameOf>
std::uint32_t FindCandidates(WalkedArchive& archive, EntryFilter& selection, NameOf nameOf,
                             NameEncodingGuess* guess, std::vector<Candidate>& candidates) {
    const std::uint32_t count = archive.header.entryCount;
    Entry entry;
    auto walk = archive.Walk();
    std::uint32_t walked = 0;
    // Names offered as stored are mostly turned away by their stored bytes.
    const bool asStored = !archive.codec.Converts();
    for (; walked < count; ++walked) {
        if (asStored || guess) {
            const auto stored = walk.Peek();
            if (!stored) break;
            if (guess) guess->AddStored(stored->scrambledName);
            if (asStored && selection.CannotSelectStored(stored->scrambledName)) {
                walk.Pass();
                continue;
            }
        }
        const auto where = static_cast<std::uint32_t>(walk.Offset());
        if (!walk.Next(entry)) break;
        if (selection.MaySelect(entry.index, nameOf(entry))) candidates.push_back({entry.index, where});
    }
    return walked;
}

// Gives `consider` every entry that may be selected, with its offset in the
// directory, in directory order; returns how many entries were read whole,
// or nullopt when the walk's guess (`guessing`: without --encoding, where
// names select) chose a codec that reads the names otherwise than the walk
// did, and they must be offered again.
template <typename NameOf, typename Consider>
std::optional<std::uint32_t> WalkSelected(WalkedArchive& archive, EntryFilter& selection, NameOf nameOf,
                                          Consider consider, Reporter& reporter, std::optional<Talk> guessing) {
    if (!selection.NeedsNames()) {
        // Names that select every entry ("."): the guess walks first.
        if (guessing) {
            auto guessWalk = archive.Walk();
            if (ChooseEncoding(GuessNameEncoding(guessWalk), archive.codec, reporter, *guessing)) return std::nullopt;
        }
        const std::uint32_t count = archive.header.entryCount;
        Entry entry;
        auto walk = archive.Walk();
        std::uint32_t walked = 0;
        for (; walked < count; ++walked) {
            const auto where = static_cast<std::uint32_t>(walk.Offset());
            if (!walk.Next(entry)) break;
            consider(entry, where);
        }
        return walked;
    }
    std::vector<Candidate> candidates;
    NameEncodingGuess guess;
    const std::uint32_t walked = FindCandidates(archive, selection, nameOf, guessing ? &guess : nullptr, candidates);
    if (guessing && ChooseEncoding(guess, archive.codec, reporter, *guessing)) return std::nullopt;
    // One small read each, where a second walk would read the directory
    // again as far as the last of them.
    for (const auto [index, where] : candidates)
        if (const auto again = archive.EntryAt(index, where)) consider(*again, where);
    return walked;
}

// One walk of the directory: choose, check and place every entry. Nothing
// when the walk guessed an encoding that reads names otherwise (see
// WalkSelected), before any entry was considered: plan again.
std::optional<Plan> PlanExtraction(const ExtractOptions& options, WalkedArchive& loaded, Reporter& reporter,
                                   std::optional<Talk> guessing) {
    const NameCodec& codec = loaded.codec;
    const std::uint32_t count = loaded.header.entryCount;
    EntryFilter selection(options.select, codec);
    // The name that selection and placement see: converted when an
    // encoding is given, the stored bytes otherwise (or when they do not
    // convert, so that they can still be selected and reported).
    NameText names(codec);
    auto nameOf = [&](const Entry& entry, bool& valid) {
        const auto text = names.Of(entry.NameBytes());
        valid = names.Valid();
        return text;
    };

    Plan plan;
    plan.folders.emplace_back();
    std::unordered_map<std::string, std::uint32_t> folderIds;
    // The table is sized for every entry only when every entry may be
    // placed: a few names chosen, or standard output, need no 5 MB of it.
    const bool placesMany = !options.toStdout && options.select.names.empty() && options.select.indices.empty();
    Placer placer(codec, placesMany ? count : 0);
    PlacementReport placement(PlacementWords::Extract);
    bool valid = true;
    // Choose, check and place one entry, read from directory offset `where`.
    auto consider = [&](const Entry& entry, std::uint32_t where) {
        const auto name = nameOf(entry, valid);
        if (!selection.Selects(entry.index, name)) return;
        Job job{entry.index, entry.dataSize, entry.dataOffset, 0, where, {}};
        if (!valid) {
            reporter.EntryFailed(entry.index, DisplayName(name, true),
                                 "name is not valid " + codec.Name() + "; skipped");
            return;
        }
        if (options.toStdout) {
            plan.bytes += job.size;
            plan.jobs.push_back(std::move(job));
            return;
        }
        const auto stripped = StrippedName(name, options.stripComponents, codec.TextLead());
        if (!stripped) return;
        const auto placed = options.stripComponents > 0 ? std::span<const std::uint8_t>(*stripped) : name;
        const auto place = placer.Add(entry.index, placed);
        if (place.outcome != Placing::Placed) {
            const auto label = DisplayName(name, true);
            if (const auto problem = placement.Problem(entry.index, label, place); !problem.empty())
                reporter.EntryFailed(entry.index, label, problem);
            return;
        }
        // Placement took the name, so the name rule does: it has a path.
        const auto relative = *SafeRelativePath(placed, codec);
        const auto parent = relative.parent_path();
        if (!parent.empty()) job.folder = FolderId(plan, folderIds, parent);
        job.leaf = relative.filename();
        plan.bytes += job.size;
        plan.jobs.push_back(std::move(job));
    };

    const auto offered = [&](const Entry& entry) { return nameOf(entry, valid); };
    const auto walked = WalkSelected(loaded, selection, offered, consider, reporter, guessing);
    if (!walked) return std::nullopt;
    if (const DirectoryWalk walk{count, *walked}; !walk.Complete())
        reporter.Failed(fmt::format("damaged: {}; the {} from there on cannot be read", WhereDirectoryEnds(walk),
                                    Count(walk.Unread(), "entry", "entries")));
    if (const auto repeats = placement.Repeats(); !repeats.empty()) reporter.Failed(repeats);
    for (const auto& miss : selection.Misses()) reporter.Failed(miss);
    return plan;
}

// Writes the selected entries' bytes one after another to standard output.
void ExtractToStdout(const InputFile& archive, const Plan& plan, const Namer& namer, Reporter& reporter,
                     Progress& progress, bool verbose) {
    for (const auto& job : plan.jobs) {
        if (!FitsInArchive(archive, job)) {
            reporter.EntryFailed(job.index, namer(job), TruncatedText(archive, job));
            continue;
        }
        if (verbose) Echo(namer(job), true);
        const auto copied = CopyMasked(archive, job.offset, job.size, StandardOutput(), true);
        if (!copied || *copied != job.size) {
            reporter.EntryFailed(job.index, namer(job),
                                 copied ? "the archive ends inside its data" : "cannot write: " + copied.error());
            if (!copied) break;  // standard output is gone
        }
        progress.Add(1, job.size);
        progress.Tick();
    }
}

}  // namespace

Finish SetUpExtract(CLI::App& command, ExtractOptions& options) {
    AddPositional(command, "ARCHIVE", options.archive, "The archive ('-': standard input)");
    AddSelection(command, options.select, "extract", "; all when there are none and no --index");
    AddValue(command, "-C,--directory", options.target, "Target folder (made if missing; default: .)");
    AddFlag(command, "-O,--stdout", options.toStdout, "Write the selected entries' bytes to standard output");
    AddFlag(command, "--overwrite", options.overwrite, "Replace existing files (not with --keep)");
    AddFlag(command, "-k,--keep", options.keep, "Keep existing files, counted in one line (the default)");
    AddFlag(command, "-v,--verbose", options.verbose,
                     "Name each entry as it is written (on standard error with -O), and each existing file kept");
    AddIndices(command, options.select.indices, "extract");
    AddExcludes(command, options.select.excludes);
    AddValue(command, "--strip-components", options.stripComponents,
             "Drop this many leading folders from every name; names with no more parts are skipped");
    AddBounded(command, "-j,--threads", options.threads, 0, 64,
               "Files written at once, 1 to 64; 0, the default, chooses 2 for 64 entries or more, else 1");
    AddCommon(command, options.common);
    SetFooter(command, R"(Examples:
  qvr extract data.qvr                      everything into the current folder
  qvr extract data.qvr -C out 'sound\*.wav' matching entries into out/
  qvr extract -O data.qvr readme.txt | less one entry to standard output
  qvr extract data.qvr sound                the folder sound and all in it
  qvr extract --no-wildcards data.qvr 'a[1].txt'
  qvr extract --index 7 data.qvr -O         the entry at place 7, even if its
                                            name repeats
  qvr extract data.qvr --exclude '*.bak' --strip-components 1

Selection: a NAME that is exactly an entry's name selects that entry alone;
otherwise a NAME without wildcards selects the folder of that name (sound,
sound/ and ./sound/ alike), and any other NAME is a pattern in which '?' is one
character and '*' any run of characters, separators included. Backslashes and
slashes are the same folder separator in names and patterns.

Safe by default: names that are absolute, carry a drive letter or colon, a UNC
prefix, '..', a device name or a character Windows refuses are refused (the
rest go on); nothing is written through a symbolic link; existing files are
kept (--keep) unless --overwrite is given, and keeping them is no failure.
When names repeat, the first entry of each name is extracted. Each file is
written under a temporary name and renamed when complete.)");
    return [&options](AfterDashes& rest) -> Done {
        if (auto archive = rest.Archive(options.archive); !archive) return archive;
        rest.AppendTo(options.select.names);
        if (options.keep && options.overwrite) return Fail("--keep and --overwrite exclude each other");
        return {};
    };
}

int Extract(const ExtractOptions& options) {
    const auto started = std::chrono::steady_clock::now();
    Reporter reporter(ArchiveLabel(options.archive));
    std::string error;
    // A target that is a file is a mistake on the command line, found
    // before the archive is read.
    if (!options.toStdout && IsExistingNonFolder(options.target)) {
        reporter.Say(fmt::format("-C {}: not a folder", options.target.string()));
        return ExitBadUsage;
    }
    // Without --encoding the names choose it. Where names select, the walk
    // that offers them guesses too, and is made again only when the guess
    // reads them otherwise than as stored; else a walk of its own guesses.
    const Talk talk = TalkOf(options.common.quiet, options.verbose);
    const bool guessWhileSelecting = options.common.encoding.empty() && !options.select.names.empty();
    auto loaded = LoadArchiveHead(options.archive, options.common.encoding, reporter, talk, !guessWhileSelecting);
    if (!loaded) return ExitBadUsage;
    InputFile& archive = loaded->file;
    const Namer namer{*loaded};
    auto planned = PlanExtraction(options, *loaded, reporter, guessWhileSelecting ? std::optional(talk) : std::nullopt);
    if (!planned) planned = PlanExtraction(options, *loaded, reporter, std::nullopt);
    const Plan plan = std::move(*planned);

    Progress progress(!options.common.quiet && StderrIsTerminal(), plan.jobs.size(), plan.bytes);
    reporter.ClearLine(progress.Enabled());

    if (options.toStdout) {
        ExtractToStdout(archive, plan, namer, reporter, progress, options.verbose);
        progress.Finish();
        return reporter.AnyFailed() ? ExitSomeFailed : ExitSuccess;
    }

    if (plan.jobs.empty()) return reporter.AnyFailed() ? ExitSomeFailed : ExitSuccess;
    const auto root = Folder::OpenRoot(options.target, true);
    if (!root) {
        reporter.Failed(fmt::format("cannot open target folder {}: {}", options.target.string(), root.error()));
        return ExitSomeFailed;
    }
    InstallInterruptCleanup();

    // Creating files costs the kernel more than copying their bytes; two
    // threads overlap that work when there are enough entries to share.
    unsigned threads = options.threads;
    if (threads == 0) threads = plan.jobs.size() >= 64 ? std::min(2u, std::max(1u, std::thread::hardware_concurrency())) : 1u;
    Extraction run{archive, plan, namer, reporter, options.overwrite, options.verbose};
    std::atomic<std::size_t> next{0};
    auto work = [&] {
        FolderCache folders(*root, plan.folders.size());
        const std::unique_ptr<std::uint8_t[]> slice(new std::uint8_t[SliceBytes]);
        const std::span<const Job> jobs(plan.jobs);
        for (std::size_t i; (i = next.fetch_add(SliceJobs, std::memory_order_relaxed)) < jobs.size();)
            ExtractRun(run, jobs.subspan(i, std::min(SliceJobs, jobs.size() - i)), folders, progress,
                       std::span(slice.get(), SliceBytes));
    };
    std::vector<std::thread> helpers;
    for (unsigned t = 1; t < threads; ++t) helpers.emplace_back(work);
    work();
    for (auto& t : helpers) t.join();
    progress.Finish();
    const std::uint64_t kept = run.kept.load();
    if (kept > 0 && !options.common.quiet)
        reporter.Say(fmt::format("kept {}; --overwrite replaces them", Count(kept, "existing file", "existing files")));
    if (!options.common.quiet && StderrIsTerminal())
        PrintSummary("extracted", run.written.load(), run.writtenBytes.load(), started);
    return reporter.AnyFailed() ? ExitSomeFailed : ExitSuccess;
}

}  // namespace qvr::cli
