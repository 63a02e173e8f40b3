#include "commands/gather.h"

#include <algorithm>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <unordered_map>

#include <fmt/format.h>

#include "commands/options.h"
#include "names/safe_path.h"
#include "names/path_key.h"
#include "names/selection.h"

namespace qvr::cli {

namespace fs = std::filesystem;

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
                                    !encoding.empty()       ? encoding
                                    : codec.Name().empty() ? "the system code page"
                                                           : codec.Name(),
                                    why)};
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

namespace {

// The type a folder's listing gave for a name, not through a link: no call
// to the system where the file system says it. Nullopt where it did not.
std::optional<fs::file_status> ListedStatus(const fs::directory_entry& entry) {
    std::error_code ec;
    if (entry.is_symlink(ec)) return fs::file_status(fs::file_type::symlink);
    if (ec) return std::nullopt;
    if (entry.is_directory(ec)) return fs::file_status(fs::file_type::directory);
    if (ec) return std::nullopt;
    // What is neither is left out below whatever it is.
    const bool regular = entry.is_regular_file(ec);
    if (ec) return std::nullopt;
    return fs::file_status(regular ? fs::file_type::regular : fs::file_type::unknown);
}

class Gatherer {
public:
    Gatherer(const NameCodec& codec, const CreateOptions& options, Reporter& reporter, std::optional<Identity> self)
        : codec_(codec), options_(options), reporter_(reporter), self_(self),
          excluded_(ArgumentsFor(options.excludes, codec), false, CharactersOf(codec)) {}

    // A file or folder named on the command line, stored under `prefix`.
    void Add(const fs::path& path, const std::vector<fs::path>& prefix) { Visit(path, prefix); }

    std::vector<Input>& Inputs() { return inputs_; }
    std::uint64_t Skipped() const { return skipped_; }

private:
    // An input left out while the rest is packed: named, and the command
    // ends with exit status 1.
    void Skip(const fs::path& path, const std::string& why, const char* because = "") {
        ++skipped_;
        reporter_.Say(fmt::format("{}: {}; skipped{}", path.string(), why, because));
    }

    // An input that cannot be read refuses the whole command (nothing
    // half-made), unless --ignore-failed-read.
    void Unreadable(const fs::path& path, const std::string& why) {
        if (options_.ignoreFailedRead)
            Skip(path, why, " (--ignore-failed-read)");
        else
            reporter_.Failed(fmt::format("{}: {}", path.string(), why));
    }

    // Links to files and to folders are followed, as zip does by default;
    // with --no-follow every link is left out, with a word about each.
    // `listed`: what the folder's listing said the name is, which spares
    // asking the system again by its whole path.
    void Visit(const fs::path& path, const std::vector<fs::path>& prefix,
               std::optional<fs::file_status> listed = std::nullopt) {
        if (Excluded(prefix)) return;
        std::error_code ec;
        const auto own = listed ? *listed : fs::symlink_status(path, ec);
        if (ec) {
            Unreadable(path, ec.message());
            return;
        }
        const bool link = fs::is_symlink(own);
        if (link && options_.noFollow) {
            Skip(path, "symbolic link", " (--no-follow)");
            return;
        }
        const auto target = link ? fs::status(path, ec) : own;
        if (link && (ec || !fs::exists(target))) {
            Unreadable(path, "symbolic link to nothing");
        } else if (fs::is_directory(target)) {
            Walk(path, prefix);
        } else if (fs::is_regular_file(target)) {
            AddFile(path, prefix);
        } else {
            Skip(path, link ? "symbolic link to something neither a file nor a folder" : "not a file or folder");
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
        std::vector<fs::directory_entry> children;
        for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
            children.push_back(*it);
        if (ec) {
            Unreadable(folder, ec.message());
            children.clear();
        } else if (children.empty()) {
            if (!options_.common.quiet)
                reporter_.Say(fmt::format("{}: empty folder; not stored (an archive holds only files)",
                                          folder.string()));
        }
        // Byte order of the names: the same archive from the same tree, on any machine.
        std::sort(children.begin(), children.end(), [](const auto& a, const auto& b) {
            return a.path().filename().native() < b.path().filename().native();
        });
        for (const auto& child : children) {
            auto childPrefix = prefix;
            childPrefix.push_back(child.path().filename());
            Visit(child.path(), childPrefix, ListedStatus(child));
        }
        if (identity) ancestors_.pop_back();
    }

    void AddFile(const fs::path& file, const std::vector<fs::path>& prefix) {
        auto in = InputFile::OpenToPack(file, !options_.noFollow);
        if (!in) {
            Unreadable(file, in.error());
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

    // --exclude: matched against the name the file would be stored under,
    // as extraction shows it; an excluded folder is not walked.
    bool Excluded(const std::vector<fs::path>& prefix) {
        if (!excluded_.Any() || prefix.empty()) return false;
        Bytes text;
        for (const auto& component : prefix) {
            const auto part = codec_.ComponentText(component);
            if (!part) return false;  // refused later, with the reason
            if (!text.empty()) text.push_back('\\');
            text.insert(text.end(), part->begin(), part->end());
        }
        return excluded_.Excludes(text);
    }

    const NameCodec& codec_;
    const CreateOptions& options_;
    Reporter& reporter_;
    std::optional<Identity> self_;
    std::vector<Input> inputs_;
    std::vector<std::pair<Identity, fs::path>> ancestors_;  // the folders being walked, outermost first
    std::uint64_t skipped_ = 0;
    Exclusion excluded_;
};

// One entry per stored name. The same file reached twice under one name
// (named twice, or inside a folder also named) is stored once; two
// different files under one name are both refused, since extraction would
// give back only one of them.
void DropRepeatsAndRefuseCollisions(std::vector<Input>& inputs, const LeadBytes& lead, Reporter& reporter) {
    std::unordered_map<std::string, std::size_t> first;
    std::vector<bool> keep(inputs.size(), true);
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        if (inputs[i].name.empty()) continue;
        const auto [it, added] = first.try_emplace(PathKey(inputs[i].name, lead, true), i);
        if (added) continue;
        const Input& earlier = inputs[it->second];
        keep[i] = false;
        if (earlier.identity == inputs[i].identity && earlier.name == inputs[i].name) continue;
        if (earlier.name == inputs[i].name)
            reporter.Failed(fmt::format("{} and {}: both would be stored as '{}'", earlier.source.string(),
                                        inputs[i].source.string(), DisplayName(inputs[i].name, true)));
        else
            reporter.Failed(fmt::format("{} and {}: '{}' and '{}' differ only in case, and on Windows, where every "
                                        "reader of these archives runs, one would overwrite the other",
                                        earlier.source.string(), inputs[i].source.string(),
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

bool PackFile(const Input& in, bool followLinks, NativeHandle to, bool toIsStream, Reporter& reporter) {
    const auto& source = in.source;
    auto file = InputFile::OpenToPack(source, followLinks);
    if (!file) {
        reporter.Failed(fmt::format("{}: {}", source.string(), file.error()));
        return false;
    }
    if (file->Identity() != in.identity) {
        reporter.Failed(fmt::format("{}: was replaced by another file after it was checked; not packed",
                                    source.string()));
        return false;
    }
    if (file->Size() < in.size) {
        reporter.Failed(fmt::format("{}: shrank while being packed", source.string()));
        return false;
    }
    const auto copied = CopyMasked(*file, 0, in.size, to, toIsStream);
    if (!copied || *copied != in.size) {
        reporter.Failed(fmt::format("{}: {}", source.string(),
                                    copied ? "shorter than its size said" : "cannot copy: " + copied.error()));
        return false;
    }
    if (file->CurrentSize() != in.size)
        reporter.Failed(fmt::format("{} changed as it was read; its first {} bytes were stored", source.string(),
                                    in.size));
    return true;
}

namespace {

// -T: appends the inputs the list names (one a line, or NUL-separated) to
// those of the command line; the exit status when the list cannot be read.
std::optional<int> AddListedInputs(CreateOptions& options, Reporter& reporter) {
    const auto& from = options.filesFrom;
    if (from.path.empty()) return std::nullopt;
    std::string list;
    if (from.path == "-") {
        list.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
    } else {
        std::ifstream in(from.path, std::ios::binary);
        if (!in) {
            reporter.Say(fmt::format("-T {}: cannot read it", from.path.string()));
            return ExitBadUsage;
        }
        list.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    const char end = options.nullSeparated ? '\0' : '\n';
    for (std::size_t at = 0; at < list.size();) {
        auto stop = list.find(end, at);
        if (stop == std::string::npos) stop = list.size();
        std::string line = list.substr(at, stop - at);
        // A list written on Windows ends its lines with CR LF.
        if (!options.nullSeparated && line.ends_with('\r')) line.pop_back();
        if (!line.empty()) options.inputs.push_back({line, from.directory});
        at = stop + 1;
    }
    options.filesFrom = {};  // read once, even when add hands over to create
    return std::nullopt;
}

std::optional<int> CheckInputArguments(const CreateOptions& options, Reporter& reporter) {
    if (options.inputs.empty()) {
        reporter.Say("no files or folders to pack");
        return ExitBadUsage;
    }
    const fs::path* checked = nullptr;  // inputs after one -C share its folder: one look each
    for (const auto& input : options.inputs) {
        if (input.directory.empty() || (checked && *checked == input.directory)) continue;
        checked = &input.directory;
        if (IsExistingNonFolder(input.directory)) {
            reporter.Say(fmt::format("-C {}: not a folder", input.directory.string()));
            return ExitBadUsage;
        }
    }
    return std::nullopt;
}

}  // namespace

std::optional<int> PrepareInputs(CreateOptions& options, Reporter& reporter, std::optional<NameCodec>& codec) {
    if (const auto status = AddListedInputs(options, reporter)) return status;
    auto made = NameCodec::Make(options.common.encoding);
    if (!made) {
        reporter.Say(made.error());
        return ExitBadUsage;
    }
    codec = std::move(*made);
    return CheckInputArguments(options, reporter);
}

std::optional<int> GatherInputs(const CreateOptions& options, const NameCodec& codec, Reporter& reporter,
                                std::optional<Identity> self, Gathered& out) {
    Gatherer gatherer(codec, options, reporter, self);
    bool strippedRoot = false;
    for (const auto& [argument, directory] : options.inputs) {
        const auto prefix = ArgumentPrefix(argument, strippedRoot);
        if (!prefix) {
            reporter.Say(fmt::format("{}: names would climb out of the current folder; give -C and a path below it",
                                     argument.string()));
            return ExitBadUsage;
        }
        // "-C tree ." walks tree/, not tree/./, so messages name paths plainly.
        gatherer.Add((directory.empty() ? argument : directory / argument).lexically_normal(), *prefix);
    }
    if (strippedRoot && !options.common.quiet) reporter.Say("leading '/' and drive removed from stored names");
    out.inputs = std::move(gatherer.Inputs());
    out.skipped = gatherer.Skipped();
    DropRepeatsAndRefuseCollisions(out.inputs, codec.Lead(), reporter);
    if (reporter.AnyFailed()) {
        reporter.Say("nothing written");
        return ExitSomeFailed;
    }
    return std::nullopt;
}

std::uint64_t TotalSize(const std::vector<Input>& inputs) {
    std::uint64_t total = 0;
    for (const auto& in : inputs) total += in.size;
    return total;
}

}  // namespace qvr::cli
