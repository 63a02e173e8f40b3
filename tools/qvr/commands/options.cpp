#include "commands/options.h"

#include <algorithm>
#include <memory>

#include <CLI/CLI.hpp>
#include <fmt/core.h>

namespace qvr::cli {
namespace {

namespace fs = std::filesystem;

template <typename T>
constexpr bool IsVector = false;
template <typename T>
constexpr bool IsVector<std::vector<T>> = true;

// The FILE and -C arguments as the parser fills them, kept until the
// parser's record of their order places each FILE under its -C.
struct InputArguments {
    std::vector<std::string> files;
    std::vector<fs::path> directories;
    CLI::Option* file = nullptr;
    CLI::Option* directory = nullptr;
    CLI::Option* filesFrom = nullptr;
};

// Each path with the -C in force where it stands: the parser's record of
// the order its options came in tells. `afterDashes`: paths after "--",
// under the last -C.
void InputsFrom(const CLI::App& command, const InputArguments& arguments, std::vector<std::string> afterDashes,
                CreateOptions& options) {
    fs::path directory;
    std::size_t nextFile = 0, nextDirectory = 0;
    for (const CLI::Option* option : command.parse_order()) {
        if (option == arguments.directory && nextDirectory < arguments.directories.size()) {
            directory = directory / arguments.directories[nextDirectory++];
        } else if (option == arguments.file && nextFile < arguments.files.size()) {
            options.inputs.push_back({arguments.files[nextFile++], directory});
        } else if (option == arguments.filesFrom) {
            options.filesFrom.directory = directory;
        }
    }
    for (auto& path : afterDashes) options.inputs.push_back({std::move(path), directory});
}

}  // namespace

template <typename T>
CLI::Option* AddValue(CLI::App& command, const std::string& names, T& value, const std::string& help) {
    auto* option = command.add_option(names, value, help)->expected(1)->allow_extra_args(false);
    if constexpr (IsVector<T>) option->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    return option;
}

// The kinds of value the commands' options take.
template CLI::Option* AddValue(CLI::App&, const std::string&, std::string&, const std::string&);
template CLI::Option* AddValue(CLI::App&, const std::string&, fs::path&, const std::string&);
template CLI::Option* AddValue(CLI::App&, const std::string&, unsigned&, const std::string&);
template CLI::Option* AddValue(CLI::App&, const std::string&, std::vector<std::string>&, const std::string&);
template CLI::Option* AddValue(CLI::App&, const std::string&, std::vector<fs::path>&, const std::string&);
template CLI::Option* AddValue(CLI::App&, const std::string&, std::vector<std::uint32_t>&, const std::string&);

void AddBounded(CLI::App& command, const std::string& names, unsigned& value, unsigned low, unsigned high,
                const std::string& help) {
    AddValue(command, names, value, help)->check(CLI::Range(low, high));
}

void AddPositional(CLI::App& command, const std::string& name, fs::path& value, const std::string& help) {
    command.add_option(name, value, help);
}

void AddPositional(CLI::App& command, const std::string& name, std::string& value, const std::string& help) {
    command.add_option(name, value, help);
}

void AddFlag(CLI::App& command, const std::string& names, bool& value, const std::string& help) {
    command.add_flag(names, value, help);
}

void SetFooter(CLI::App& command, const std::string& text) { command.footer(text); }

void AddQuiet(CLI::App& command, CommonOptions& common) {
    command.add_flag("-q,--quiet", common.quiet, "No progress line, no summary and no notes");
}

void AddCommon(CLI::App& command, CommonOptions& common) {
    AddQuiet(command, common);
    AddValue(command, "--encoding", common.encoding,
             "Encoding of stored names, such as CP932 (on Linux any iconv name; on Windows a code page name "
             "such as SHIFT_JIS, GBK, BIG5, UTF-8, or its number). Names are converted to and from UTF-8. "
             "Without it the names choose: UTF-8 when every name is UTF-8, else CP932 when every name is "
             "CP932, else they pass through as bytes (Linux) or in the system code page (Windows)");
}

void AddSelection(CLI::App& command, SelectOptions& select, const char* what, const char* whenNone) {
    command.add_option("NAME", select.names,
                       fmt::format("Entries to {}: an entry's exact name, a folder (everything under it), or a "
                                   "shell-style pattern (* ? [...]){}",
                                   what, whenNone));
    command.add_flag("--no-wildcards", select.noWildcards, "Every NAME is an exact name or folder, never a pattern");
    command.add_flag("-i,--ignore-case", select.ignoreCase, "Names and patterns match ignoring the case of A-Z");
}

void AddIndices(CLI::App& command, std::vector<std::uint32_t>& indices, const char* what) {
    AddValue(command, "--index", indices,
             fmt::format("Also {} the entry at this place in the directory, counted from 0 as list -l shows "
                         "(one a time; repeat it for more); the only way to reach the second of two entries "
                         "that share a name",
                         what));
}

void AddExcludes(CLI::App& command, std::vector<std::string>& excludes) {
    AddValue(command, "--exclude", excludes,
             "Leave out what this pattern or folder matches (one a time; repeat it for more). Without a / or "
             "\\ it matches any part of a name, so a folder of that name anywhere is left out with everything "
             "in it (--exclude .git); with one it matches the name from its start (--exclude tree/cache)");
}

void AddChangeOptions(CLI::App& command, ChangeOptions& change) {
    command.add_flag("--no-wait", change.noWait,
                     "Fail at once (exit status 1) when another qvr is changing the archive, instead of waiting");
    command.add_flag("--break-links", change.breakLinks,
                     "Change an archive that has other hard links: this name gets the changed archive, the "
                     "other names keep the old one");
}

Finish AddInputs(CLI::App& command, CreateOptions& options) {
    // The parser keeps pointers into it: one place for as long as the Finish lives.
    auto arguments = std::make_shared<InputArguments>();
    arguments->file = command.add_option("FILE", arguments->files, "Files and folders (folders are packed recursively)");
    arguments->directory = AddValue(command, "-C,--directory", arguments->directories,
                                    "Take the FILE names after it relative to this folder (again for the next "
                                    "names; a relative one is taken from the one before, as tar does)");
    command.add_flag("-P,--no-follow", options.noFollow,
                     "Leave out symbolic links, with a warning each (exit status 1); by default links to files "
                     "and folders are followed");
    command.add_flag("--ignore-failed-read", options.ignoreFailedRead,
                     "Skip a file or folder that cannot be read, or a link to nothing, with a warning each, and "
                     "pack the rest (exit status 1); by default any such input means nothing is written");
    AddExcludes(command, options.excludes);
    arguments->filesFrom = AddValue(command, "-T,--files-from", options.filesFrom.path,
                                    "Also pack the files and folders this file names, one a line ('-': standard "
                                    "input), relative to the -C before it");
    command.add_flag("--null", options.nullSeparated, "The -T list's names end with NUL bytes (find -print0)");
    command.add_flag("-v,--verbose", options.verbose, "Name each entry as it is packed");
    return [&command, &options, arguments](AfterDashes& rest) -> Done {
        if (auto archive = rest.Archive(options.archive); !archive) return archive;
        InputsFrom(command, *arguments, rest.Rest(), options);
        return {};
    };
}

Done AfterDashes::Archive(fs::path& archive) {
    if (archive.empty() && next_ < words_.size()) archive = words_[next_++];
    if (!archive.empty()) return {};
    return Fail(fmt::format("ARCHIVE is missing (qvr {} --help)", command_));
}

void AfterDashes::AppendTo(std::vector<std::string>& names) {
    for (auto& word : Rest()) names.push_back(std::move(word));
}

std::vector<std::string> AfterDashes::Rest() {
    std::vector<std::string> rest(words_.begin() + static_cast<std::ptrdiff_t>(next_), words_.end());
    next_ = words_.size();
    return rest;
}

Done AfterDashes::Exactly(std::initializer_list<std::string*> slots, const char* takes) {
    for (auto* slot : slots)
        if (slot->empty() && next_ < words_.size()) *slot = words_[next_++];
    const bool missing = std::any_of(slots.begin(), slots.end(), [](const auto* s) { return s->empty(); });
    if (!missing && Empty()) return {};
    return Fail(fmt::format("takes {} (qvr {} --help)", takes, command_));
}

bool IsExistingNonFolder(const fs::path& path) {
    std::error_code ec;
    const auto status = fs::status(path, ec);
    return !ec && fs::exists(status) && !fs::is_directory(status);
}

}  // namespace qvr::cli
