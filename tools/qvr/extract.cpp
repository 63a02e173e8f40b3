// qvr extract: one walk of the directory decides what goes where; then each
// entry is one read from the archive straight into a new file, written under
// a temporary name and renamed into place, on up to two threads.
#include <algorithm>
#include <thread>
#include <unordered_map>
#include <unordered_set>

#include <fmt/format.h>

#include "commands.h"
#include "common.h"
#include "safe_path.h"

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

// Names for messages are decoded again from the directory when needed, so
// that the plan holds no copy of every name.
struct Namer {
    const OpenedArchive& opened;
    const NameCodec& codec;
    std::string operator()(const Job& job) const {
        DirectoryCursor cursor{opened.directory, job.where, job.index};
        Entry entry;
        if (!ReadNextEntry(cursor, entry)) return "?";
        return NameForMessage(entry.NameBytes(), codec);
    }
};

struct Selection {
    std::vector<Bytes> patterns;
    std::vector<bool> isPattern;
    std::vector<bool> used;
    std::vector<Bytes> matchers;  // what each pattern or exact name is matched as, made once
    bool ignoreCase = false;

    void Add(Bytes name) {
        isPattern.push_back(IsPattern(name));
        matchers.push_back(isPattern.back() ? name : Literal(name));
        patterns.push_back(std::move(name));
        used.push_back(false);
    }
    bool Empty() const { return patterns.empty(); }
    bool Selects(std::span<const std::uint8_t> name) {
        bool any = false;
        for (std::size_t i = 0; i < patterns.size(); ++i) {
            const bool hit = MatchName(matchers[i], name, ignoreCase);
            if (hit) {
                used[i] = true;
                any = true;
            }
        }
        return any;
    }
    // An exact name as a pattern that matches only itself: wildcard bytes go in sets.
    static Bytes Literal(const Bytes& name) {
        Bytes out;
        for (auto b : name) {
            if (b == '*' || b == '?' || b == '[') {
                out.push_back('[');
                out.push_back(b);
                out.push_back(']');
            } else {
                out.push_back(b);
            }
        }
        return out;
    }
};

// Keeps folders open once reached, since entries of many folders may come
// interleaved; beyond a bound (file handles are limited) it starts afresh.
class FolderCache {
public:
    FolderCache(const Folder& root, std::size_t folderCount) : root_(root), open_(folderCount) {}
    const Folder* Get(std::uint32_t id, const std::filesystem::path& relative, std::string& error) {
        if (id == 0) return &root_;
        auto& slot = open_[id];
        if (slot) return &*slot;
        if (++held_ > MaxOpen) {
            for (auto& f : open_) f.reset();
            held_ = 1;
        }
        slot = root_.Descend(relative, error);
        if (!slot) --held_;
        return slot ? &*slot : nullptr;
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

void ExtractOne(const InputFile& archive, const Plan& plan, const Job& job, FolderCache& folders,
                bool overwrite, const Namer& name, Reporter& reporter) {
    if (!FitsInArchive(archive, job)) {
        reporter.EntryFailed(job.index, name(job), TruncatedText(archive, job));
        return;
    }
    std::string error;
    const Folder* folder = folders.Get(job.folder, plan.folders[job.folder], error);
    if (!folder) {
        reporter.EntryFailed(job.index, name(job), error);
        return;
    }
    // No look before writing: the rename refuses an existing name on its
    // own (atomically), and a fresh folder, the common case, has none.
    auto temp = folder->CreateTemp(error);
    if (!temp) {
        reporter.EntryFailed(job.index, name(job), error);
        return;
    }
    const std::uint64_t copied = CopyMasked(archive, job.offset, job.size, temp->Handle(), false, error);
    if (copied != job.size) {
        reporter.EntryFailed(job.index, name(job),
                             error.empty() ? "the archive ends inside its data; skipped" : "cannot write: " + error);
        return;
    }
    switch (temp->Commit(job.leaf, overwrite, error)) {
    case CommitStatus::Done:
        break;
    case CommitStatus::Exists:
        reporter.EntryFailed(job.index, name(job), "exists; kept (--overwrite replaces it)");
        break;
    case CommitStatus::Failed:
        reporter.EntryFailed(job.index, name(job), "cannot put in place: " + error);
        break;
    }
}

std::string FolderKey(const std::filesystem::path& p) { return p.generic_string(); }

}  // namespace

int Extract(const ExtractOptions& options) {
    Reporter reporter(options.archive.string());
    auto loaded = LoadArchive(options.archive, options.common.encoding, reporter);
    if (!loaded) return ExitBadUsage;
    const NameCodec* codec = &loaded->codec;
    const InputFile& archive = loaded->file;
    std::string error;
    const auto& opened = loaded->opened;
    const std::uint32_t count = opened.header.entryCount;

    Selection selection;
    selection.ignoreCase = options.ignoreCase;
    for (const auto& n : options.names) selection.Add(Bytes(n.begin(), n.end()));

    // One walk: choose, check and place every entry.
    Plan plan;
    plan.folders.emplace_back();
    std::unordered_map<std::string, std::uint32_t> folderIds;
    // Paths already placed, by hash; equal hashes are compared in full.
    std::unordered_multimap<std::size_t, std::uint32_t> placed;
    std::vector<bool> dropped;
    const Namer namer{opened, *codec};
    auto cursor = opened.Begin();
    Entry entry;
    std::uint32_t walked = 0;
    for (; walked < count; ++walked) {
        const auto where = static_cast<std::uint32_t>(cursor.offset);
        if (!ReadNextEntry(cursor, entry)) break;
        const auto stored = entry.NameBytes();
        // Without a conversion the stored bytes are the name: entries not
        // selected are passed over before any copy of their name is made.
        if (!codec->Converts() && !selection.Empty() && !selection.Selects(stored)) continue;
        const auto text = codec->ToUtf8(stored);
        const Bytes name = text ? *text : Bytes(stored.begin(), stored.end());
        if (codec->Converts() && !selection.Empty() && !selection.Selects(name)) continue;
        Job job{entry.index, entry.dataSize, entry.dataOffset, 0, where, {}};
        const auto label = [&] { return DisplayName(name, true); };
        if (!text) {
            reporter.EntryFailed(entry.index, DisplayName(stored, true),
                                 "name is not valid " + options.common.encoding + "; skipped");
            continue;
        }
        if (options.toStdout) {
            plan.bytes += job.size;
            plan.jobs.push_back(std::move(job));
            continue;
        }
        const auto relative = SafeRelativePath(name);
        if (!relative) {
            reporter.EntryFailed(entry.index, label(), "refused: " + RefusalReason(name));
            continue;
        }
        const auto key = FolderKey(*relative);
        const std::size_t hash = std::hash<std::string>{}(key);
        std::optional<std::uint32_t> earlier;
        for (auto [it, end] = placed.equal_range(hash); it != end; ++it) {
            const Job& other = plan.jobs[it->second];
            if (FolderKey(plan.folders[other.folder] / other.leaf) == key) {
                earlier = it->second;
                if (!options.overwrite) break;
                placed.erase(it);
                break;
            }
        }
        if (earlier) {
            // Two entries of one name: keep the first unless replacing, in
            // which case the last wins, as it would when written in order.
            if (!options.overwrite) {
                reporter.EntryFailed(entry.index, label(),
                                     fmt::format("same name as entry {}; kept the first", plan.jobs[*earlier].index));
                continue;
            }
            dropped[*earlier] = true;
        }
        const auto parent = relative->parent_path();
        if (!parent.empty()) {
            const auto [it, added] =
                folderIds.try_emplace(FolderKey(parent), static_cast<std::uint32_t>(plan.folders.size()));
            if (added) plan.folders.push_back(parent);
            job.folder = it->second;
        }
        job.leaf = relative->filename();
        placed.emplace(hash, static_cast<std::uint32_t>(plan.jobs.size()));
        plan.bytes += job.size;
        plan.jobs.push_back(std::move(job));
        dropped.push_back(false);
    }
    if (walked < count)
        reporter.Failed(fmt::format("damaged: the directory ends inside entry {}; the {} entries from there on "
                                    "cannot be read",
                                    walked, count - walked));
    for (std::size_t i = 0; i < selection.patterns.size(); ++i)
        if (!selection.used[i])
            reporter.Failed(fmt::format("no entry matches '{}'", DisplayName(selection.patterns[i], true)));
    if (!dropped.empty()) {
        std::size_t keep = 0;
        for (std::size_t i = 0; i < plan.jobs.size(); ++i)
            if (!dropped[i]) {
                if (keep != i) plan.jobs[keep] = std::move(plan.jobs[i]);
                ++keep;
            }
        plan.jobs.resize(keep);
    }

    Progress progress(!options.common.quiet && StderrIsTerminal(), plan.jobs.size(), plan.bytes);
    reporter.ClearLine(progress.Enabled());

    if (options.toStdout) {
        for (const auto& job : plan.jobs) {
            if (!FitsInArchive(archive, job)) {
                reporter.EntryFailed(job.index, namer(job), TruncatedText(archive, job));
                continue;
            }
            const std::uint64_t copied = CopyMasked(archive, job.offset, job.size, StandardOutput(), true, error);
            if (copied != job.size) {
                reporter.EntryFailed(job.index, namer(job),
                                     error.empty() ? "the archive ends inside its data" : "cannot write: " + error);
                if (!error.empty()) break;  // standard output is gone
            }
            progress.Add(1, job.size);
            progress.Tick();
        }
        progress.Finish();
        return reporter.AnyFailed() ? ExitSomeFailed : ExitSuccess;
    }

    if (plan.jobs.empty()) return reporter.AnyFailed() ? ExitSomeFailed : ExitSuccess;
    const auto root = Folder::OpenRoot(options.target, true, error);
    if (!root) {
        reporter.Failed(fmt::format("cannot open target folder {}: {}", options.target.string(), error));
        return ExitSomeFailed;
    }
    InstallInterruptCleanup();

    // Creating files costs the kernel more than copying their bytes; two
    // threads overlap that work when there are enough entries to share.
    unsigned threads = options.threads;
    if (threads == 0) threads = plan.jobs.size() >= 64 ? std::min(2u, std::max(1u, std::thread::hardware_concurrency())) : 1u;
    std::atomic<std::size_t> next{0};
    auto work = [&] {
        FolderCache folders(*root, plan.folders.size());
        for (std::size_t i; (i = next.fetch_add(1, std::memory_order_relaxed)) < plan.jobs.size();) {
            ExtractOne(archive, plan, plan.jobs[i], folders, options.overwrite, namer, reporter);
            progress.Add(1, plan.jobs[i].size);
            progress.Tick();
        }
    };
    std::vector<std::thread> helpers;
    for (unsigned t = 1; t < threads; ++t) helpers.emplace_back(work);
    work();
    for (auto& t : helpers) t.join();
    progress.Finish();
    return reporter.AnyFailed() ? ExitSomeFailed : ExitSuccess;
}

}  // namespace qvr::cli
