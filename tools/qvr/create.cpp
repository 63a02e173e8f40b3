// qvr create: gathers the inputs in a stable order, lays the archive out
// before writing a byte (so every limit is checked up front), then streams
// header, directory and data into a temporary file renamed into place.
#include <algorithm>

#include <fmt/format.h>

#include "commands.h"
#include "common.h"

namespace qvr::cli {
namespace {

namespace fs = std::filesystem;

struct Input {
    fs::path source;
    Bytes name;
    std::uint64_t size = 0;
};

class Gatherer {
public:
    Gatherer(const NameCodec& codec, Reporter& reporter, std::optional<std::pair<std::uint64_t, std::uint64_t>> self)
        : codec_(codec), reporter_(reporter), self_(self) {}

    void AddArgument(const fs::path& full, const std::vector<fs::path>& prefix) {
        std::error_code ec;
        const auto st = fs::status(full, ec);
        if (ec) {
            reporter_.Failed(fmt::format("{}: {}", full.string(), ec.message()));
            return;
        }
        if (fs::is_directory(st)) {
            Walk(full, prefix);
        } else if (fs::is_regular_file(st)) {
            AddFile(full, prefix);
        } else {
            reporter_.Say(fmt::format("{}: not a file or folder; skipped", full.string()));
        }
    }

    std::vector<Input> Take() { return std::move(inputs_); }

private:
    void Walk(const fs::path& folder, const std::vector<fs::path>& prefix) {
        std::error_code ec;
        std::vector<fs::directory_entry> children;
        for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) children.push_back(*it);
        if (ec) {
            reporter_.Failed(fmt::format("{}: {}", folder.string(), ec.message()));
            return;
        }
        // Byte order of the names: the same archive from the same tree, on any machine.
        std::sort(children.begin(), children.end(), [](const auto& a, const auto& b) {
            return a.path().filename().native() < b.path().filename().native();
        });
        for (const auto& child : children) {
            auto childPrefix = prefix;
            childPrefix.push_back(child.path().filename());
            const auto linkStatus = child.symlink_status(ec);
            if (ec) {
                reporter_.Failed(fmt::format("{}: {}", child.path().string(), ec.message()));
                continue;
            }
            if (fs::is_symlink(linkStatus)) {
                const auto target = child.status(ec);
                if (!ec && fs::is_regular_file(target)) {
                    AddFile(child.path(), childPrefix);
                } else {
                    reporter_.Say(fmt::format("{}: symbolic link to a folder or to nothing; skipped",
                                              child.path().string()));
                }
            } else if (fs::is_directory(linkStatus)) {
                Walk(child.path(), childPrefix);
            } else if (fs::is_regular_file(linkStatus)) {
                AddFile(child.path(), childPrefix);
            } else {
                reporter_.Say(fmt::format("{}: not a file or folder; skipped", child.path().string()));
            }
        }
    }

    void AddFile(const fs::path& file, const std::vector<fs::path>& prefix) {
        std::string error;
        auto in = InputFile::Open(file, error);
        if (!in) {
            reporter_.Failed(fmt::format("{}: {}", file.string(), error));
            return;
        }
        if (self_ && in->Identity() == *self_) {
            reporter_.Say(fmt::format("{}: is the archive being replaced; skipped", file.string()));
            return;
        }
        Bytes joined;
        for (const auto& part : prefix) {
            const auto bytes = ComponentBytes(part);
            if (!bytes) {
                reporter_.Failed(fmt::format("{}: name cannot be stored in the system code page", file.string()));
                return;
            }
            if (!joined.empty()) joined.push_back('\\');
            joined.insert(joined.end(), bytes->begin(), bytes->end());
        }
        auto stored = codec_.FromUtf8(joined);
        if (!stored) {
            reporter_.Failed(fmt::format("{}: name cannot be written in the chosen encoding", file.string()));
            return;
        }
        inputs_.push_back({file, std::move(*stored), in->Size()});
    }

    const NameCodec& codec_;
    Reporter& reporter_;
    std::optional<std::pair<std::uint64_t, std::uint64_t>> self_;
    std::vector<Input> inputs_;
};

// The name an argument is stored under, as components; nullopt if it climbs
// out of the current folder.
std::optional<std::vector<fs::path>> ArgumentPrefix(const fs::path& argument, bool& strippedRoot) {
    const auto normal = argument.lexically_normal();
    if (normal.has_root_path()) strippedRoot = true;
    std::vector<fs::path> parts;
    for (const auto& part : normal.relative_path()) {
        if (part == "..") return std::nullopt;
        if (part.empty() || part == ".") continue;
        parts.push_back(part);
    }
    return parts;
}

// Checks the limits with the offending file named; the writer's layout
// check stays the final word.
bool CheckLimits(const std::vector<Input>& inputs, Reporter& reporter) {
    if (inputs.size() > MaxEntryCount) {
        reporter.Failed(fmt::format("{} files: an archive holds at most {} entries; nothing written", inputs.size(),
                                    MaxEntryCount));
        return false;
    }
    std::uint64_t offset = HeaderSize;
    for (const auto& in : inputs) {
        if (in.name.size() > MaxNameLength) {
            reporter.Failed(fmt::format("{}: its name is {} bytes long, and at most {} fit; nothing written",
                                        in.source.string(), in.name.size(), MaxNameLength));
            return false;
        }
        offset += EntryFixedSize + in.name.size();
    }
    for (const auto& in : inputs) {
        if (offset > 0xFFFFFFFFu || in.size > 0xFFFFFFFFu) {
            reporter.Failed(fmt::format("{}: its data would lie past the 4 GiB an archive can address; nothing written",
                                        in.source.string()));
            return false;
        }
        offset += in.size;
    }
    return true;
}

}  // namespace

int Create(const CreateOptions& options) {
    Reporter reporter(options.archive.string());
    std::string error;
    const auto codec = NameCodec::Make(options.common.encoding, error);
    if (!codec) {
        reporter.Say(error);
        return ExitBadUsage;
    }
    if (options.inputs.empty()) {
        reporter.Say("no files or folders to pack");
        return ExitBadUsage;
    }
    const auto archiveFolderPath = options.archive.has_parent_path() ? options.archive.parent_path() : fs::path(".");
    const auto archiveLeaf = options.archive.filename();
    if (archiveLeaf.empty() || archiveLeaf == "." || archiveLeaf == "..") {
        reporter.Say("not a file name");
        return ExitBadUsage;
    }
    const auto archiveFolder = Folder::OpenRoot(archiveFolderPath, false, error);
    if (!archiveFolder) {
        reporter.Say(fmt::format("cannot open folder {}: {}", archiveFolderPath.string(), error));
        return ExitBadUsage;
    }
    std::optional<std::pair<std::uint64_t, std::uint64_t>> self;
    if (archiveFolder->Probe(archiveLeaf) != NodeKind::Missing) {
        if (!options.overwrite) {
            reporter.Say("exists; kept (--overwrite replaces it)");
            return ExitBadUsage;
        }
        if (auto existing = InputFile::Open(options.archive, error)) self = existing->Identity();
    }

    Gatherer gatherer(*codec, reporter, self);
    bool strippedRoot = false;
    for (const auto& argument : options.inputs) {
        const auto prefix = ArgumentPrefix(argument, strippedRoot);
        if (!prefix) {
            reporter.Say(fmt::format("{}: names would climb out of the current folder; give -C and a path below it",
                                     argument.string()));
            return ExitBadUsage;
        }
        gatherer.AddArgument(options.directory.empty() ? argument : options.directory / argument, *prefix);
    }
    if (strippedRoot && !options.common.quiet) reporter.Say("leading '/' and drive removed from stored names");
    if (reporter.AnyFailed()) {
        reporter.Say("nothing written");
        return ExitSomeFailed;
    }
    const auto inputs = gatherer.Take();
    if (!CheckLimits(inputs, reporter)) return ExitSomeFailed;

    std::vector<EntrySpec> specs;
    specs.reserve(inputs.size());
    std::uint64_t totalBytes = 0;
    for (const auto& in : inputs) {
        specs.push_back({in.name, in.size});
        totalBytes += in.size;
    }
    const LayoutResult planned = PlanArchive(specs);
    if (!planned.ok()) {
        reporter.Failed(planned.error + "; nothing written");
        return ExitSomeFailed;
    }

    InstallInterruptCleanup();
    auto temp = archiveFolder->CreateTemp(error);
    if (!temp) {
        reporter.Failed(error);
        return ExitSomeFailed;
    }
    if (!WriteAll(temp->Handle(), planned.layout.headAndDirectory, error)) {
        reporter.Failed("cannot write: " + error + "; nothing written");
        return ExitSomeFailed;
    }
    Progress progress(!options.common.quiet && StderrIsTerminal(), inputs.size(), totalBytes);
    reporter.ClearLine(progress.Enabled());
    for (const auto& in : inputs) {
        auto file = InputFile::Open(in.source, error);
        if (!file) {
            reporter.Failed(fmt::format("{}: {}; nothing written", in.source.string(), error));
            return ExitSomeFailed;
        }
        if (file->Size() != in.size) {
            reporter.Failed(fmt::format("{}: changed size while being packed; nothing written", in.source.string()));
            return ExitSomeFailed;
        }
        const std::uint64_t copied = CopyMasked(*file, 0, in.size, temp->Handle(), false, error);
        if (copied != in.size) {
            reporter.Failed(fmt::format("{}: {}; nothing written", in.source.string(),
                                        error.empty() ? "shorter than its size said" : "cannot copy: " + error));
            return ExitSomeFailed;
        }
        progress.Add(1, in.size);
        progress.Tick();
    }
    progress.Finish();
    switch (temp->Commit(archiveLeaf, options.overwrite, error)) {
    case CommitStatus::Done:
        break;
    case CommitStatus::Exists:
        reporter.Failed("appeared while packing; kept (--overwrite replaces it)");
        return ExitSomeFailed;
    case CommitStatus::Failed:
        reporter.Failed("cannot put in place: " + error);
        return ExitSomeFailed;
    }
    return ExitSuccess;
}

}  // namespace qvr::cli
