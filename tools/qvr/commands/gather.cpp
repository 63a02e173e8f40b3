#include "commands/gather.h"

#include <algorithm>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <unordered_map>

#include <fmt/format.h>

#include "commands/options.h"
#include "qvr/writer.h"
#include "names/safe_path.h"
#include "names/path_key.h"
#include "names/selection.h"
#include "names/stored_name.h"

namespace qvr::cli {

namespace fs = std::filesystem;

std::string ShownPath(const NativePath& path) {
#ifdef _WIN32
    return fs::path(path).string();
#else
    return path;
#endif
}

namespace {

// A stored name as it is built, a component at a time, while folders are
// walked: each folder's is made once, not again for every file in it.
struct NameSoFar {
    Bytes text;           // as extraction shows it: what --exclude and the name rule see
    Bytes stored;         // as stored
    std::string refusal;  // why a component cannot be stored, the first one's
    bool shown = true;    // every component has a text (else nothing excludes it)
    std::size_t parts = 0;
};

// `path` joined with `leaf` by the system's separator.
NativePath Joined(const NativePath& path, const NativePath& leaf) {
    NativePath out;
    out.reserve(path.size() + 1 + leaf.size());
    out = path;
    if (!out.empty() && out.back() != fs::path::preferred_separator) out += fs::path::preferred_separator;
    out += leaf;
    return out;
}

class Gatherer {
public:
    Gatherer(const NameCodec& codec, const CreateOptions& options, Reporter& reporter, std::optional<Identity> self)
        : codec_(codec), options_(options), reporter_(reporter), self_(self),
          excluded_(ArgumentsFor(options.excludes, codec), false, CharactersOf(codec)) {}

    // A file or folder named on the command line (a lexically normal
    // path), stored under `prefix`.
    void Add(const fs::path& path, const std::vector<fs::path>& prefix) {
        NameSoFar name;
        const auto leaf = path.filename();
        if (prefix.empty() || leaf.empty() || leaf == "." || leaf == "..") {
            // Nothing to look up in a folder: the path is a folder itself ("-C tree .").
            for (const auto& part : prefix) name = Extended(name, part);
            if (Excluded(name)) return;
            auto folder = SourceFolder::Open(path.native());
            if (!folder) return Unreadable(path.native(), folder.error());
            Walk(*folder, name);
            return;
        }
        for (std::size_t i = 0; i + 1 < prefix.size(); ++i) name = Extended(name, prefix[i]);
        const auto parent = path.parent_path();
        AddIn(parent.empty() ? fs::path(".").native() : parent.native(), leaf.native(), path.native(),
              name, prefix.back());
    }

    // Room for `count` more inputs at once: a list's 65,535 names would
    // otherwise end with the array copied into one twice its size.
    void Reserve(std::size_t count) { inputs_.reserve(inputs_.size() + count); }

#ifndef _WIN32
    // A name of -T's list that needs no normalising: relative, and no
    // empty, "." or ".." step. `directory` is lexically normal.
    void AddPlain(const NativePath& directory, std::string_view line) {
        const auto slash = line.rfind('/');
        const std::string_view parentPart = slash == std::string_view::npos ? std::string_view() : line.substr(0, slash);
        const std::string_view leaf = line.substr(slash == std::string_view::npos ? 0 : slash + 1);
        if (!plainName_ || parentPart != plainParent_) {
            NameSoFar name;
            for (std::size_t at = 0; at < parentPart.size();) {
                auto end = parentPart.find('/', at);
                if (end == std::string_view::npos) end = parentPart.size();
                name = Extended(name, fs::path(parentPart.substr(at, end - at)));
                at = end + 1;
            }
            plainName_ = std::move(name);
            plainParent_ = parentPart;
        }
        NativePath folder = directory;
        if (!parentPart.empty()) folder = folder == "." ? NativePath(parentPart) : Joined(folder, NativePath(parentPart));
        const NativePath leafText(leaf);
        AddIn(folder, leafText, folder == "." ? NativePath(line) : Joined(folder, leafText), *plainName_,
              fs::path(leafText));
    }
#endif

    std::vector<Input>& Inputs() { return inputs_; }
    std::uint64_t Skipped() const { return skipped_; }

private:
    // An input left out while the rest is packed: named, and the command
    // ends with exit status 1.
    void Skip(const NativePath& path, const std::string& why, const char* because = "") {
        ++skipped_;
        reporter_.Say(fmt::format("{}: {}; skipped{}", ShownPath(path), why, because));
    }

    // An input that cannot be read refuses the whole command (nothing
    // half-made), unless --ignore-failed-read.
    void Unreadable(const NativePath& path, const std::string& why) {
        if (options_.ignoreFailedRead)
            Skip(path, why, " (--ignore-failed-read)");
        else
            reporter_.Failed(fmt::format("{}: {}", ShownPath(path), why));
    }

    NameSoFar Extended(const NameSoFar& name, const fs::path& component) const {
        NameSoFar out = name;
        ++out.parts;
        auto part = StoreComponent(component, codec_, options_.common.encoding);
        if (part.text.empty() && !part.refusal.empty()) out.shown = false;
        AppendComponent(out.text, part.text);
        if (out.refusal.empty()) {
            out.refusal = std::move(part.refusal);
            AppendComponent(out.stored, part.stored);
        }
        return out;
    }

    // --exclude: matched against the name the file would be stored under,
    // as extraction shows it; an excluded folder is not walked.
    bool Excluded(const NameSoFar& name) {
        return excluded_.Any() && name.parts > 0 && name.shown && excluded_.Excludes(name.text);
    }

    // The name `leaf` of the folder at `folderPath`; the folder last
    // looked in is kept open, as names of one folder come together.
    void AddIn(const NativePath& folderPath, const NativePath& leaf, NativePath source, const NameSoFar& parentName,
               const fs::path& component) {
        auto name = Extended(parentName, component);
        if (Excluded(name)) return;
        if (!parent_ || parent_->Path() != folderPath) {
            parent_.reset();
            auto opened = SourceFolder::Open(folderPath);
            if (!opened) return Unreadable(source, opened.error());
            parent_.emplace(std::move(*opened));
        }
        Visit(*parent_, leaf, std::move(source), name);
    }

    // Links to files and to folders are followed, as zip does by default;
    // with --no-follow every link is left out, with a word about each.
    void Visit(const SourceFolder& folder, const NativePath& leaf, NativePath source, const NameSoFar& name) {
        if (Excluded(name)) return;
        const auto node = folder.Look(leaf, !options_.noFollow);
        if (!node) return Unreadable(source, node.error());
        switch (node->kind) {
        case NodeKind::Link:
            return Skip(source, "symbolic link", " (--no-follow)");
        case NodeKind::Missing:
            return Unreadable(source, "symbolic link to nothing");
        case NodeKind::Folder: {
            auto entered = folder.Enter(leaf, source);
            if (!entered) return Unreadable(source, entered.error());
            return Walk(*entered, name);
        }
        case NodeKind::File:
            return AddFile(folder, leaf, std::move(source), name, *node);
        case NodeKind::Other:
            return Skip(source, node->link ? "symbolic link to something neither a file nor a folder"
                                           : "not a file or folder");
        }
    }

    void Walk(const SourceFolder& folder, const NameSoFar& name) {
        const auto loop = std::find_if(ancestors_.begin(), ancestors_.end(),
                                       [&](const auto& a) { return a.first == folder.Identity(); });
        if (loop != ancestors_.end()) {
            reporter_.Failed(fmt::format("{}: symbolic link loop (it leads back to {}); refused",
                                         ShownPath(folder.Path()), ShownPath(loop->second)));
            return;
        }
        ancestors_.emplace_back(folder.Identity(), folder.Path());
        auto children = folder.List();
        if (!children) {
            Unreadable(folder.Path(), children.error());
        } else if (children->empty()) {
            if (!options_.common.quiet)
                reporter_.Say(fmt::format("{}: empty folder; not stored (an archive holds only files)",
                                          ShownPath(folder.Path())));
        } else {
            // Byte order of the names: the same archive from the same tree, on any machine.
            std::sort(children->begin(), children->end());
            for (const auto& child : *children)
                Visit(folder, child, Joined(folder.Path(), child), Extended(name, fs::path(child)));
        }
        ancestors_.pop_back();
    }

    void AddFile(const SourceFolder& folder, const NativePath& leaf, NativePath source, const NameSoFar& name,
                 const SourceFolder::Node& node) {
        if (auto readable = folder.CheckReadable(leaf); !readable) return Unreadable(source, readable.error());
        if (self_ && node.identity == *self_) {
            reporter_.Say(fmt::format("{}: is the archive being replaced; skipped", ShownPath(source)));
            return;
        }
        std::string refusal = name.refusal;
        if (refusal.empty()) {
            if (const auto why = RefusalReason(name.text, codec_); !why.empty())
                refusal = "name would be refused on extraction: " + why;
        }
        // A name the rule refuses is kept, to find the names it collides with.
        Bytes stored = name.refusal.empty() ? name.stored : Bytes();
        if (stored.empty() && refusal.empty()) refusal = "no name to store it under";
        const bool refused = !refusal.empty();
        if (refused) reporter_.Failed(fmt::format("{}: {}", ShownPath(source), refusal));
        const std::size_t leafAt = source.size() - leaf.size();
        auto sharedFolder = leafAt == 0 ? nullptr : FolderPath(NativePath(source, 0, leafAt));
        inputs_.push_back({std::move(sharedFolder), NativePath(source, leafAt), std::move(stored), node.size, node.identity,
                           refused});
    }

    // The one copy of each folder's path that its inputs share. A list may
    // name its folders in turn, so the last one alone would not do.
    std::shared_ptr<const NativePath> FolderPath(NativePath path) {
        auto& shared = folderPaths_[path];
        if (!shared) shared = std::make_shared<const NativePath>(std::move(path));
        return shared;
    }

    const NameCodec& codec_;
    const CreateOptions& options_;
    Reporter& reporter_;
    std::optional<Identity> self_;
    std::vector<Input> inputs_;
    std::unordered_map<NativePath, std::shared_ptr<const NativePath>> folderPaths_;
    std::vector<std::pair<Identity, NativePath>> ancestors_;  // the folders being walked, outermost first
    std::uint64_t skipped_ = 0;
    Exclusion excluded_;
    std::optional<SourceFolder> parent_;  // where the last named input lay
    std::optional<NameSoFar> plainName_;  // the stored name of plainParent_, a list's last folder
    std::string plainParent_;
};

// One entry per stored name. The same file reached twice under one name
// (named twice, or inside a folder also named) is stored once; two
// different files under one name are both refused, since extraction would
// give back only one of them.
// Names are grouped by their keys' hashes, not by the keys themselves:
// keeping every key of a large tree at once would cost more than its
// directory. The keys of a group are made again to compare them.
void DropRepeatsAndRefuseCollisions(std::vector<Input>& inputs, const LeadBytes& lead, Reporter& reporter) {
    std::vector<std::pair<std::size_t, std::size_t>> hashed;  // the key's hash, the input
    hashed.reserve(inputs.size());
    for (std::size_t i = 0; i < inputs.size(); ++i)
        if (!inputs[i].name.empty()) hashed.emplace_back(std::hash<std::string>{}(PathKey(inputs[i].name, lead, true)), i);
    std::sort(hashed.begin(), hashed.end());
    std::vector<std::size_t> firstOf(inputs.size());  // the first input of its key, in the order met
    for (std::size_t i = 0; i < inputs.size(); ++i) firstOf[i] = i;
    for (std::size_t start = 0, end = 0; start < hashed.size(); start = end) {
        for (end = start + 1; end < hashed.size() && hashed[end].first == hashed[start].first;) ++end;
        if (end - start == 1) continue;
        std::vector<std::string> keys;
        for (std::size_t g = start; g < end; ++g) keys.push_back(PathKey(inputs[hashed[g].second].name, lead, true));
        for (std::size_t g = start + 1; g < end; ++g)
            for (std::size_t h = start; h < g; ++h)
                if (keys[g - start] == keys[h - start]) {
                    firstOf[hashed[g].second] = firstOf[hashed[h].second];
                    break;
                }
    }
    std::vector<bool> keep(inputs.size(), true);
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        if (inputs[i].name.empty() || firstOf[i] == i) continue;
        const Input& earlier = inputs[firstOf[i]];
        keep[i] = false;
        if (earlier.identity == inputs[i].identity && earlier.name == inputs[i].name) continue;
        if (earlier.name == inputs[i].name)
            reporter.Failed(fmt::format("{} and {}: both would be stored as '{}'", ShownPath(earlier.Source()),
                                        ShownPath(inputs[i].Source()), DisplayName(inputs[i].name, true)));
        else
            reporter.Failed(fmt::format("{} and {}: '{}' and '{}' differ only in case, and on Windows, where every "
                                        "reader of these archives runs, one would overwrite the other",
                                        ShownPath(earlier.Source()), ShownPath(inputs[i].Source()),
                                        DisplayName(earlier.name, true), DisplayName(inputs[i].name, true)));
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

}  // namespace


namespace {

// -T: appends the inputs the list names (one a line, or NUL-separated) to
// those of the command line; the exit status when the list cannot be read.
Step<> AddListedInputs(CreateOptions& options, Reporter& reporter) {
    const auto& from = options.filesFrom;
    if (from.path.empty()) return {};
    std::string list;
    if (from.path == "-") {
        list.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
    } else {
        std::ifstream in(from.path, std::ios::binary);
        if (!in) {
            reporter.Say(fmt::format("-T {}: cannot read it", from.path.string()));
            return Reported{ExitBadUsage};
        }
        list.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    const char end = options.nullSeparated ? '\0' : '\n';
    options.listed.reserve(list.size() + 1);
    for (std::size_t at = 0; at < list.size();) {
        auto stop = list.find(end, at);
        if (stop == std::string::npos) stop = list.size();
        auto line = std::string_view(list).substr(at, stop - at);
        // A list written on Windows ends its lines with CR LF.
        if (!options.nullSeparated && line.ends_with('\r')) line.remove_suffix(1);
        if (line.find('\0') != std::string_view::npos) {
            reporter.Say(fmt::format("-T {}: a name holds a NUL byte, which no path can (--null reads a list "
                                     "of names ended by NUL bytes)",
                                     from.path.string()));
            return Reported{ExitBadUsage};
        }
        if (!line.empty()) {
            options.listed.append(line);
            options.listed.push_back('\0');
        }
        at = stop + 1;
    }
    options.listedDirectory = from.directory;
    options.filesFrom = {};  // read once, even when add hands over to create
    return {};
}

Step<> CheckInputArguments(const CreateOptions& options, Reporter& reporter) {
    if (options.inputs.empty() && options.listed.empty()) {
        reporter.Say("no files or folders to pack");
        return Reported{ExitBadUsage};
    }
    const fs::path* checked = nullptr;  // inputs after one -C share its folder: one look each
    for (const auto& input : options.inputs) {
        if (input.directory.empty() || (checked && *checked == input.directory)) continue;
        checked = &input.directory;
        if (IsExistingNonFolder(input.directory)) {
            reporter.Say(fmt::format("-C {}: not a folder", input.directory.string()));
            return Reported{ExitBadUsage};
        }
    }
    const auto& listed = options.listedDirectory;
    if (!options.listed.empty() && !listed.empty() && !(checked && *checked == listed) && IsExistingNonFolder(listed)) {
        reporter.Say(fmt::format("-C {}: not a folder", listed.string()));
        return Reported{ExitBadUsage};
    }
    return {};
}

}  // namespace

Step<NameCodec> PrepareInputs(CreateOptions& options, Reporter& reporter) {
    if (auto listed = AddListedInputs(options, reporter); !listed) return listed.failure();
    auto made = NameCodec::Make(options.common.encoding);
    if (!made) {
        reporter.Say(made.error());
        return Reported{ExitBadUsage};
    }
    if (auto checked = CheckInputArguments(options, reporter); !checked) return checked.failure();
    return std::move(*made);
}

namespace {

#ifndef _WIN32
// A name of a list that is a path already lexically normal and relative,
// so it can be looked up as it is: no empty, "." or ".." step. (Windows
// paths have more spellings; they all take the general way.)
bool IsPlainListedName(std::string_view line) {
    if (line.empty() || line.front() == '/' || line.back() == '/') return false;
    for (std::size_t at = 0; at <= line.size();) {
        auto end = line.find('/', at);
        if (end == std::string_view::npos) end = line.size();
        const auto step = line.substr(at, end - at);
        if (step.empty() || step == "." || step == "..") return false;
        at = end + 1;
    }
    return true;
}
#endif

// One argument, or one name of a list, taken relative to `directory`.
bool AddArgument(Gatherer& gatherer, const fs::path& argument, const fs::path& directory, bool& strippedRoot,
                 Reporter& reporter) {
    const auto prefix = ArgumentPrefix(argument, strippedRoot);
    if (!prefix) {
        reporter.Say(fmt::format("{}: names would climb out of the current folder; give -C and a path below it",
                                 argument.string()));
        return false;
    }
    // "-C tree ." walks tree/, not tree/./, so messages name paths plainly.
    gatherer.Add((directory.empty() ? argument : directory / argument).lexically_normal(), *prefix);
    return true;
}

}  // namespace

Step<Gathered> GatherInputs(const CreateOptions& options, const NameCodec& codec, Reporter& reporter,
                            std::optional<Identity> self) {
    Gatherer gatherer(codec, options, reporter, self);
    bool strippedRoot = false;
    for (const auto& [argument, directory] : options.inputs)
        if (!AddArgument(gatherer, argument, directory, strippedRoot, reporter)) return Reported{ExitBadUsage};
    gatherer.Reserve(static_cast<std::size_t>(std::count(options.listed.begin(), options.listed.end(), '\0')));
#ifndef _WIN32
    const auto listedIn = options.listedDirectory.empty() ? NativePath(fs::path(".").native())
                                                          : options.listedDirectory.lexically_normal().native();
#endif
    for (std::size_t at = 0; at < options.listed.size();) {
        const auto end = options.listed.find('\0', at);
        const auto line = std::string_view(options.listed).substr(at, end - at);
        at = end + 1;
#ifndef _WIN32
        if (IsPlainListedName(line)) {
            gatherer.AddPlain(listedIn, line);
            continue;
        }
#endif
        if (!AddArgument(gatherer, fs::path(line), options.listedDirectory, strippedRoot, reporter))
            return Reported{ExitBadUsage};
    }
    if (strippedRoot && !options.common.quiet) reporter.Say("leading '/' and drive removed from stored names");
    Gathered out;
    out.inputs = std::move(gatherer.Inputs());
    out.skipped = gatherer.Skipped();
    DropRepeatsAndRefuseCollisions(out.inputs, codec.Lead(), reporter);
    if (reporter.AnyFailed()) {
        reporter.Say("nothing written");
        return Reported{ExitSomeFailed};
    }
    return out;
}

std::uint64_t TotalSize(const std::vector<Input>& inputs) {
    std::uint64_t total = 0;
    for (const auto& in : inputs) total += in.size;
    return total;
}

}  // namespace qvr::cli
