// qvr create: gathers the inputs in a stable order, checks that every name
// comes back out of the archive as the path it came from, lays the archive
// out before writing a byte (so every limit is checked up front), then
// streams header, directory and data into a temporary file renamed into
// place, or to standard output.
#include <algorithm>
#include <unordered_map>

#include <fmt/format.h>

#include "commands.h"
#include "common.h"
#include "safe_path.h"

namespace qvr::cli {
namespace {

namespace fs = std::filesystem;
using Identity = std::pair<std::uint64_t, std::uint64_t>;

struct Input {
    fs::path source;
    Bytes name;  // as stored
    std::uint64_t size = 0;
    Identity identity{};
    bool refused = false;  // reported; kept only to find names it collides with
};

// The stored name for a path's components, or why it has none. A name must
// come back: the stored bytes, read again as extraction reads them, give
// the same components, each one accepted by the entry-name rule.
struct StoredName {
    Bytes bytes;
    std::string refusal;  // empty: the name may be stored
};

StoredName StoredNameFor(const std::vector<fs::path>& components, const NameCodec& codec,
                         const std::string& encoding) {
    StoredName out;
    Bytes text;  // the name as extraction will see it: UTF-8, or bytes where nothing converts
    for (const auto& component : components) {
        const auto bytes = codec.ComponentText(component);
        if (!bytes) return {{}, codec.Converts() ? "name is not valid Unicode" : "name cannot be stored in the system code page"};
#ifndef _WIN32
        // Here a backslash is an ordinary character; stored, it would
        // separate folders.
        if (std::find(bytes->begin(), bytes->end(), std::uint8_t{'\\'}) != bytes->end())
            return {{}, "backslash in a file name (it would become a folder separator)"};
#endif
        // Components are converted one by one and joined with the byte
        // 0x5C, the separator in every code page, even where a conversion
        // would read that byte as another character. The codec stores only
        // what decodes to the same text again.
        std::string why;
        const auto stored = codec.FromUtf8(*bytes, &why);
        if (!stored)
            return {{}, fmt::format("name cannot be stored in {}: {}",
                                    encoding.empty() ? "the system code page" : encoding, why)};
        if (!text.empty()) {
            text.push_back('\\');
            out.bytes.push_back('\\');
        }
        text.insert(text.end(), bytes->begin(), bytes->end());
        out.bytes.insert(out.bytes.end(), stored->begin(), stored->end());
    }
    if (const auto why = RefusalReason(text, codec); !why.empty())
        out.refusal = "name would be refused on extraction: " + why;
    return out;
}

class Gatherer {
public:
    Gatherer(const NameCodec& codec, const CreateOptions& options, Reporter& reporter, std::optional<Identity> self)
        : codec_(codec), options_(options), reporter_(reporter), self_(self) {}

    // A file or folder named on the command line, stored under `prefix`.
    void Add(const fs::path& path, const std::vector<fs::path>& prefix) { Visit(path, prefix); }

    std::vector<Input>& Inputs() { return inputs_; }
    std::uint64_t SkippedLinks() const { return skippedLinks_; }

private:
    // Links to files and to folders are followed, as zip does by default;
    // with --no-follow every link is left out, with a word about each.
    void Visit(const fs::path& path, const std::vector<fs::path>& prefix) {
        std::error_code ec;
        const auto own = fs::symlink_status(path, ec);
        if (ec) {
            reporter_.Failed(fmt::format("{}: {}", path.string(), ec.message()));
            return;
        }
        const bool link = fs::is_symlink(own);
        if (link && options_.noFollow) {
            ++skippedLinks_;
            reporter_.Say(fmt::format("{}: symbolic link; skipped (--no-follow)", path.string()));
            return;
        }
        const auto target = link ? fs::status(path, ec) : own;
        if (link && (ec || !fs::exists(target))) {
            reporter_.Failed(fmt::format("{}: symbolic link to nothing; refused", path.string()));
        } else if (fs::is_directory(target)) {
            Walk(path, prefix);
        } else if (fs::is_regular_file(target)) {
            AddFile(path, prefix);
        } else if (link) {
            reporter_.Failed(fmt::format("{}: symbolic link to something neither a file nor a folder; refused",
                                         path.string()));
        } else {
            reporter_.Say(fmt::format("{}: not a file or folder; skipped", path.string()));
        }
    }

    void Walk(const fs::path& folder, const std::vector<fs::path>& prefix) {
        const auto identity = NodeIdentity(folder);
        if (identity) {
            const auto loop = std::find_if(ancestors_.begin(), ancestors_.end(),
                                           [&](const auto& a) { return a.first == *identity; });
            if (loop != ancestors_.end()) {
                reporter_.Failed(fmt::format("{}: symbolic link loop (it leads back to {}); refused", folder.string(),
                                             loop->second.string()));
                return;
            }
            ancestors_.emplace_back(*identity, folder);
        }
        std::error_code ec;
        std::vector<fs::path> children;
        for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
            children.push_back(it->path());
        if (ec) {
            reporter_.Failed(fmt::format("{}: {}", folder.string(), ec.message()));
        } else if (children.empty()) {
            if (!options_.common.quiet)
                reporter_.Say(fmt::format("{}: empty folder; not stored (an archive holds only files)",
                                          folder.string()));
        }
        // Byte order of the names: the same archive from the same tree, on any machine.
        std::sort(children.begin(), children.end(),
                  [](const auto& a, const auto& b) { return a.filename().native() < b.filename().native(); });
        for (const auto& child : children) {
            auto childPrefix = prefix;
            childPrefix.push_back(child.filename());
            Visit(child, childPrefix);
        }
        if (identity) ancestors_.pop_back();
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
        auto name = StoredNameFor(prefix, codec_, options_.common.encoding);
        if (name.bytes.empty() && name.refusal.empty()) name.refusal = "no name to store it under";
        const bool refused = !name.refusal.empty() || name.bytes.empty();
        if (refused) reporter_.Failed(fmt::format("{}: {}", file.string(), name.refusal));
        inputs_.push_back({file, std::move(name.bytes), in->Size(), in->Identity(), refused});
    }

    const NameCodec& codec_;
    const CreateOptions& options_;
    Reporter& reporter_;
    std::optional<Identity> self_;
    std::vector<Input> inputs_;
    std::vector<std::pair<Identity, fs::path>> ancestors_;  // the folders being walked, outermost first
    std::uint64_t skippedLinks_ = 0;
};

// One entry per stored name. The same file reached twice under one name
// (named twice, or inside a folder also named) is stored once; two
// different files under one name are both refused, since extraction would
// give back only one of them.
void DropRepeatsAndRefuseCollisions(std::vector<Input>& inputs, Reporter& reporter) {
    std::unordered_map<std::string, std::size_t> first;
    std::vector<bool> keep(inputs.size(), true);
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        if (inputs[i].name.empty()) continue;
        std::string key(inputs[i].name.begin(), inputs[i].name.end());
#ifdef _WIN32
        for (auto& c : key)
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 0x20);  // one file to Windows
#endif
        const auto [it, added] = first.try_emplace(std::move(key), i);
        if (added) continue;
        const Input& earlier = inputs[it->second];
        keep[i] = false;
        if (earlier.identity == inputs[i].identity) continue;
        reporter.Failed(fmt::format("{} and {}: both would be stored as '{}'", earlier.source.string(),
                                    inputs[i].source.string(), DisplayName(inputs[i].name, true)));
    }
    std::size_t out = 0;
    for (std::size_t i = 0; i < inputs.size(); ++i)
        if (keep[i] && !inputs[i].refused) {
            if (out != i) inputs[out] = std::move(inputs[i]);
            ++out;
        }
    inputs.resize(out);
}

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

// Where the archive goes: a temporary file in the archive's folder, renamed
// into place at the end, or standard output.
struct Destination {
    std::optional<Folder> folder;
    fs::path leaf;
    std::optional<TempOutput> temp;
    NativeHandle Handle() const { return temp ? temp->Handle() : StandardOutput(); }
};

// Checks the archive argument and opens its folder; gives the exit status
// on failure.
std::optional<int> PrepareDestination(const CreateOptions& options, Reporter& reporter, Destination& destination,
                                      std::optional<Identity>& self) {
    std::string error;
    if (IsStandardStream(options.archive)) {
        if (IsTerminal(StandardOutput())) {
            reporter.Say("standard output is a terminal; redirect it to a file or a pipe");
            return ExitBadUsage;
        }
        return std::nullopt;
    }
    const auto folderPath = options.archive.has_parent_path() ? options.archive.parent_path() : fs::path(".");
    destination.leaf = options.archive.filename();
    if (destination.leaf.empty() || destination.leaf == "." || destination.leaf == "..") {
        reporter.Say("not a file name");
        return ExitBadUsage;
    }
    destination.folder = Folder::OpenRoot(folderPath, false, error);
    if (!destination.folder) {
        reporter.Say(fmt::format("cannot open folder {}: {}", folderPath.string(), error));
        return ExitBadUsage;
    }
    if (destination.folder->Probe(destination.leaf) != NodeKind::Missing) {
        if (!options.overwrite) {
            reporter.Say("exists; kept (--overwrite replaces it)");
            return ExitBadUsage;
        }
        if (auto existing = InputFile::Open(options.archive, error)) self = existing->Identity();
    }
    return std::nullopt;
}

// Header and directory, then every file's data; false when it failed (said).
bool WriteArchiveData(const std::vector<Input>& inputs, const ArchiveLayout& layout, Destination& destination,
                      Progress& progress, Reporter& reporter) {
    std::string error;
    if (!WriteAll(destination.Handle(), layout.headAndDirectory, error)) {
        reporter.Failed("cannot write: " + error);
        return false;
    }
    const bool stream = !destination.temp.has_value();
    for (const auto& in : inputs) {
        auto file = InputFile::Open(in.source, error);
        if (!file) {
            reporter.Failed(fmt::format("{}: {}", in.source.string(), error));
            return false;
        }
        if (file->Size() != in.size) {
            reporter.Failed(fmt::format("{}: changed size while being packed", in.source.string()));
            return false;
        }
        const std::uint64_t copied = CopyMasked(*file, 0, in.size, destination.Handle(), stream, error);
        if (copied != in.size) {
            reporter.Failed(fmt::format("{}: {}", in.source.string(),
                                        error.empty() ? "shorter than its size said" : "cannot copy: " + error));
            return false;
        }
        progress.Add(1, in.size);
        progress.Tick();
    }
    return true;
}

}  // namespace

int Create(const CreateOptions& options) {
    const auto started = std::chrono::steady_clock::now();
    Reporter reporter(ArchiveLabel(options.archive, "standard output"));
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
    if (!options.directory.empty() && IsExistingNonFolder(options.directory)) {
        reporter.Say(fmt::format("-C {}: not a folder", options.directory.string()));
        return ExitBadUsage;
    }
    Destination destination;
    std::optional<Identity> self;
    if (const auto status = PrepareDestination(options, reporter, destination, self)) return *status;

    Gatherer gatherer(*codec, options, reporter, self);
    bool strippedRoot = false;
    for (const auto& argument : options.inputs) {
        const auto prefix = ArgumentPrefix(argument, strippedRoot);
        if (!prefix) {
            reporter.Say(fmt::format("{}: names would climb out of the current folder; give -C and a path below it",
                                     argument.string()));
            return ExitBadUsage;
        }
        // "-C tree ." walks tree/, not tree/./, so messages name paths plainly.
        gatherer.Add((options.directory.empty() ? argument : options.directory / argument).lexically_normal(),
                     *prefix);
    }
    if (strippedRoot && !options.common.quiet) reporter.Say("leading '/' and drive removed from stored names");
    auto& inputs = gatherer.Inputs();
    DropRepeatsAndRefuseCollisions(inputs, reporter);
    if (reporter.AnyFailed()) {
        reporter.Say("nothing written");
        return ExitSomeFailed;
    }
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

    if (destination.folder) {
        InstallInterruptCleanup();
        auto temp = destination.folder->CreateTemp(error);
        if (!temp) {
            reporter.Failed(error);
            return ExitSomeFailed;
        }
        destination.temp.emplace(std::move(*temp));
    }
    Progress progress(!options.common.quiet && StderrIsTerminal(), inputs.size(), totalBytes);
    reporter.ClearLine(progress.Enabled());
    const bool written = WriteArchiveData(inputs, planned.layout, destination, progress, reporter);
    progress.Finish();
    if (!written) {
        // A file is removed with its temporary name; a stream has gone out.
        if (destination.temp) reporter.Say("nothing written");
        return ExitSomeFailed;
    }
    if (destination.temp) {
        switch (destination.temp->Commit(destination.leaf, options.overwrite, error)) {
        case CommitStatus::Done:
            break;
        case CommitStatus::Exists:
            reporter.Failed("appeared while packing; kept (--overwrite replaces it)");
            return ExitSomeFailed;
        case CommitStatus::Failed:
            reporter.Failed("cannot put in place: " + error);
            return ExitSomeFailed;
        }
    }
    if (!options.common.quiet && StderrIsTerminal()) PrintSummary("packed", inputs.size(), totalBytes, started);
    return gatherer.SkippedLinks() > 0 ? ExitSomeFailed : ExitSuccess;
}

}  // namespace qvr::cli
