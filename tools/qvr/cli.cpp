// The command line: the commands, each with its options and examples.
#include <algorithm>
#include <string_view>

#include <CLI/CLI.hpp>
#include <fmt/core.h>

#include "commands/commands.h"
#include "commands/common.h"
#include "help_format.h"

#ifndef QVR_VERSION
#error "QVR_VERSION comes from the project version"
#endif

namespace qvr::cli {
namespace {

namespace fs = std::filesystem;

// Mounting needs FUSE, which only the Linux build has.
#ifdef QVR_HAVE_MOUNT
constexpr bool HaveMount = true;
#else
constexpr bool HaveMount = false;
#endif

// Every command, once: its names, its short usage and its line in the help.
struct CommandInfo {
    std::string_view name;
    std::string_view alias;  // empty: none
    std::string_view usage;  // what follows the name
    std::string_view summary;
    bool needsMount = false;
};

constexpr CommandInfo Commands[] = {
    {"list", "l", "[-l] [--json] ARCHIVE [NAME ...]", "List the entries of an archive"},
    {"extract", "x", "ARCHIVE [NAME ...] [-C DIR] [-O]", "Extract entries into a folder or to standard output"},
    {"create", "c", "ARCHIVE [-C DIR] FILE|DIR ...", "Pack files and folders into a new archive"},
    {"test", "t", "ARCHIVE", "Check an archive's structure"},
    {"diff", "", "ARCHIVE [NAME ...] [-C DIR]", "Compare an archive's entries with the files on disk"},
    {"add", "a", "ARCHIVE [-C DIR] FILE|DIR ...", "Add files to an archive, replacing entries of the same name"},
    {"delete", "d", "ARCHIVE NAME ...", "Delete entries from an archive"},
    {"rename", "", "ARCHIVE OLD NEW", "Rename an entry, or a folder of entries, of an archive"},
    {"mount", "", "[-f] [--nonempty] ARCHIVE DIR", "Show an archive's entries as read-only files in a folder", true},
    {"unmount", "", "DIR", "Take away a folder that qvr mount made", true},
};

const CommandInfo* FindCommand(std::string_view word) {
    for (const auto& command : Commands)
        if (word == command.name || (!command.alias.empty() && word == command.alias)) return &command;
    return nullptr;
}

bool Available(const CommandInfo& command) { return HaveMount || !command.needsMount; }

// "list, extract, ... and unmount": the commands this build has.
std::string CommandList() {
    std::vector<std::string_view> names;
    for (const auto& command : Commands)
        if (Available(command)) names.push_back(command.name);
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i)
        out += fmt::format("{}{}", i == 0 ? "" : i + 1 == names.size() ? " and " : ", ", names[i]);
    return out;
}

void PrintUsage() {
    std::string text;
    for (const auto& command : Commands) {
        if (!Available(command)) continue;
        const auto name = command.alias.empty() ? std::string(command.name)
                                                : fmt::format("{}|{}", command.name, command.alias);
        text += fmt::format("{} qvr {} {}\n", text.empty() ? "usage:" : "      ", name, command.usage);
    }
    fmt::print(stderr, "{}'qvr help' and 'qvr help COMMAND' say more.\n", text);
}

CLI::App* AddCommand(CLI::App& app, std::string_view name) {
    const CommandInfo& info = *FindCommand(name);
    auto* command = app.add_subcommand(std::string(info.name), std::string(info.summary));
    if (!info.alias.empty()) command->alias(std::string(info.alias));
    return command;
}

// The first word that is not an option: the command. The top level's own
// options (-h, -V and their long forms) take no value.
std::optional<std::size_t> CommandWordAt(const std::vector<std::string>& args) {
    for (std::size_t i = 0; i < args.size(); ++i)
        if (!args[i].starts_with("-")) return i;
    return std::nullopt;
}

// "qvr help" is "qvr --help"; "qvr help COMMAND" is "qvr COMMAND --help".
std::vector<std::string> HelpArguments(const std::vector<std::string>& args, std::size_t helpAt) {
    for (std::size_t i = helpAt + 1; i < args.size(); ++i)
        if (!args[i].starts_with("-")) return {args[i], "--help"};
    return {"--help"};
}

template <typename T>
constexpr bool IsVector = false;
template <typename T>
constexpr bool IsVector<std::vector<T>> = true;

// Options with values: each takes exactly one value, never the words after
// it, so that options may stand anywhere among the positionals. Repeated,
// a vector option gathers one value each time; any other is given once.
template <typename T>
CLI::Option* AddValue(CLI::App& command, const std::string& names, T& value, const std::string& help) {
    auto* option = command.add_option(names, value, help)->expected(1)->allow_extra_args(false);
    if constexpr (IsVector<T>) option->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    return option;
}

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

// `whenNone`: what no NAME means, as the end of the help line.
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

// What create and add pack: FILE and folder arguments, each -C before them,
// -P, --exclude and -T (an ARCHIVE argument comes before, with each
// command's own words). The paths are gathered as text and matched with
// their -C once parsed (InputsFrom).
struct InputArguments {
    std::vector<std::string> files;
    std::vector<fs::path> directories;
    CLI::Option* file = nullptr;
    CLI::Option* directory = nullptr;
    CLI::Option* filesFrom = nullptr;
};

void AddInputs(CLI::App& command, CreateOptions& options, InputArguments& arguments) {
    arguments.file = command.add_option("FILE", arguments.files, "Files and folders (folders are packed recursively)");
    arguments.directory = AddValue(command, "-C,--directory", arguments.directories,
                                   "Take the FILE names after it relative to this folder (again for the next "
                                   "names; a relative one is taken from the one before, as tar does)");
    command.add_flag("-P,--no-follow", options.noFollow,
                     "Leave out symbolic links, with a warning each (exit status 1); by default links to files "
                     "and folders are followed");
    command.add_flag("--ignore-failed-read", options.ignoreFailedRead,
                     "Skip a file or folder that cannot be read, or a link to nothing, with a warning each, and "
                     "pack the rest (exit status 1); by default any such input means nothing is written");
    AddExcludes(command, options.excludes);
    arguments.filesFrom = AddValue(command, "-T,--files-from", options.filesFrom.path,
                                   "Also pack the files and folders this file names, one a line ('-': standard "
                                   "input), relative to the -C before it");
    command.add_flag("--null", options.nullSeparated, "The -T list's names end with NUL bytes (find -print0)");
    command.add_flag("-v,--verbose", options.verbose, "Name each entry as it is packed");
}

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

// CLI11's messages, made one plain line: "--directory: given more than once".
std::string PlainParseError(const CLI::ParseError& e) {
    const std::string text = e.what();
    const auto colon = text.find(": ");
    const std::string option = colon == std::string::npos ? std::string() : text.substr(0, colon);
    if (!option.empty() && text.find("At Most") != std::string::npos) return option + ": given more than once";
    if (!option.empty() && text.find("required") != std::string::npos && text.ends_with("missing"))
        return option + ": needs a value";
    return text;
}

// The parser of one command line and what it fills in.
struct Parser {
    CLI::App app{"qvr: list, extract, create, test and change QVR archives", "qvr"};
    CommandLine& line;
    CLI::App* list = nullptr;
    CLI::App* extract = nullptr;
    CLI::App* create = nullptr;
    CLI::App* test = nullptr;
    CLI::App* diff = nullptr;
    CLI::App* add = nullptr;
    CLI::App* del = nullptr;
    CLI::App* rename = nullptr;
    CLI::App* mount = nullptr;
    CLI::App* unmount = nullptr;
    bool keep = false;
    InputArguments createInputs, addInputs;

    explicit Parser(CommandLine& into);
    void SetUpList();
    void SetUpExtract();
    void SetUpCreate();
    void SetUpTest();
    void SetUpDiff();
    void SetUpAdd();
    void SetUpDelete();
    void SetUpRename();
    void SetUpMount();
    // The positionals after "--" placed, and what the parser cannot check
    // said; the exit status when the line is wrong.
    std::optional<int> Finish(std::vector<std::string> afterDashes);
};

Parser::Parser(CommandLine& into) : line(into) {
    app.formatter(MakeHelpFormatter());
    app.set_version_flag("-V,--version", "qvr " QVR_VERSION);
    app.require_subcommand(1);
    app.footer(fmt::format(R"(Examples:
  qvr list data.qvr
  qvr extract data.qvr -C out
  qvr create new.qvr -C out .
  qvr test data.qvr
  qvr add data.qvr -C tree sound/new.wav
  qvr delete data.qvr 'sound\old*.wav'
  qvr rename data.qvr readme.txt doc/readme.txt
{}
Options may come before, between or after the names; '--' ends them.
Exit status: 0 success, 1 some entries failed, 2 bad usage or not a
readable QVR archive. 'qvr help COMMAND' or 'qvr COMMAND --help' shows
a command's options.)",
                           HaveMount ? "  qvr mount data.qvr ~/data && qvr unmount ~/data\n" : ""));
    SetUpList();
    SetUpExtract();
    SetUpCreate();
    SetUpTest();
    SetUpDiff();
    SetUpAdd();
    SetUpDelete();
    SetUpRename();
    SetUpMount();
}

void Parser::SetUpList() {
    auto& options = line.list;
    list = AddCommand(app, "list");
    list->add_option("ARCHIVE", options.archive, "The archive ('-': standard input)");
    AddSelection(*list, options.select, "list", "; all when none");
    AddExcludes(*list, options.select.excludes);
    list->add_flag("-l,--long", options.longFormat, "Index, size and data offset in columns, and a total line");
    list->add_flag("--json", options.json,
                   "A JSON array of {index, name, nameHex, size, offset}; names are always valid UTF-8 "
                   "(bytes that are not become U+FFFD; nameHex keeps the stored bytes)");
    AddCommon(*list, options.common);
    list->footer(R"(Examples:
  qvr list data.qvr
  qvr list -l data.qvr
  qvr list --json --encoding CP932 data.qvr > names.json
  qvr list data.qvr --exclude '*.bak' sound
  curl -s https://example.org/data.qvr | qvr list -l -

Control bytes in names are shown as \xNN escapes when the output is a terminal.)");
}

void Parser::SetUpExtract() {
    auto& options = line.extract;
    extract = AddCommand(app, "extract");
    extract->add_option("ARCHIVE", options.archive, "The archive ('-': standard input)");
    AddSelection(*extract, options.select, "extract", "; all when there are none and no --index");
    AddValue(*extract, "-C,--directory", options.target, "Target folder (made if missing; default: .)");
    extract->add_flag("-O,--stdout", options.toStdout, "Write the selected entries' bytes to standard output");
    extract->add_flag("--overwrite", options.overwrite, "Replace existing files (not with --keep)");
    extract->add_flag("-k,--keep", keep, "Keep existing files, counted in one line (the default)");
    extract->add_flag("-v,--verbose", options.verbose,
                      "Name each entry as it is written (on standard error with -O), and each existing file kept");
    AddIndices(*extract, options.select.indices, "extract");
    AddExcludes(*extract, options.select.excludes);
    AddValue(*extract, "--strip-components", options.stripComponents,
             "Drop this many leading folders from every name; names with no more parts are skipped");
    AddValue(*extract, "-j,--threads", options.threads,
             "Files written at once, 1 to 64; 0, the default, chooses 2 for 64 entries or more, else 1")
        ->check(CLI::Range(0u, 64u));
    AddCommon(*extract, options.common);
    extract->footer(R"(Examples:
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
}

void Parser::SetUpCreate() {
    auto& options = line.create;
    create = AddCommand(app, "create");
    create->add_option("ARCHIVE", options.archive, "The archive to write ('-': standard output)");
    AddInputs(*create, options, createInputs);
    create->add_flag("--overwrite", options.overwrite, "Replace ARCHIVE if it exists");
    AddCommon(*create, options.common);
    create->footer(R"(Examples:
  qvr create data.qvr readme.txt sound     readme.txt and sound\... entries
  qvr create data.qvr -C tree .            the contents of tree/, without tree\
  qvr create data.qvr -C tree sub -C /usr/share/doc bash
                                           tree/sub as sub\..., and bash\...
  qvr create --encoding CP932 data.qvr -C tree .
  qvr create - tree | ssh host 'cat > tree.qvr'
  find tree -name '*.txt' -print0 | qvr create texts.qvr --null -T -
  qvr create data.qvr tree --exclude '*.bak' --exclude .git

Names are the paths as given, with backslash separators; folders are walked in
byte order of their names. Every name must come back out as the path it came
from, so create refuses, writing nothing and listing every offending path:
names that extraction refuses (a colon, a component of dots and spaces, a
device name such as nul.txt or COM1, control bytes, < > " | ? *), a backslash
inside a file name, names that do not come back unchanged from --encoding,
two different files stored under one name, a symbolic link loop, a link to
nothing or a file that cannot be read (unless --ignore-failed-read), more than
65535 files, a name longer than 255 bytes, or data past the 4 GiB an archive
can address. Empty folders cannot be stored; each is named. Inputs that are
not files or folders (a FIFO, a device) are skipped, each named, and so are
links with -P: the archive is written and the exit status is 1.)");
}

void Parser::SetUpTest() {
    auto& options = line.test;
    test = AddCommand(app, "test");
    test->add_option("ARCHIVE", options.archive, "The archive ('-': standard input)");
    AddCommon(*test, options.common);
    test->footer(R"(Examples:
  qvr test data.qvr && echo sound

Checks the header, the directory's extent, that every entry's data lie inside
the file without overlapping the directory or each other, and that every entry
would be extracted: names accepted, none repeated, none both a file and a
folder. Exit status 0 when the archive is sound; whenever extracting it into an
empty folder would fail, test fails too.)");
}

void Parser::SetUpDiff() {
    auto& options = line.diff;
    diff = AddCommand(app, "diff");
    diff->add_option("ARCHIVE", options.archive, "The archive ('-': standard input)");
    AddSelection(*diff, options.select, "compare", " (default: all)");
    AddValue(*diff, "-C,--directory", options.directory, "Where the files are (default: the current folder)");
    AddCommon(*diff, options.common);
    diff->footer(R"(Examples:
  qvr diff data.qvr -C out                 after qvr extract data.qvr -C out
  qvr diff data.qvr 'sound\*.wav' && echo unchanged

Each entry selected (as extract selects) is compared with the file that
extract would have written for it under DIR: one line on standard output for
each that is missing, not a file, of another size or with other content.
Files on disk that no entry names are not looked at. Exit status 0 when
nothing differs, 1 when anything does or cannot be compared.)");
}

void Parser::SetUpAdd() {
    auto& options = line.add;
    add = AddCommand(app, "add");
    add->add_option("ARCHIVE", options.archive, "The archive to change (made if missing)");
    AddInputs(*add, options, addInputs);
    AddChangeOptions(*add, options.change);
    AddCommon(*add, options.common);
    add->footer(R"(Examples:
  qvr add data.qvr -C tree sound/new.wav   adds sound\new.wav, or replaces it
  qvr add data.qvr readme.txt

Files are named and checked exactly as create names and checks them, and if
any is refused nothing is written. A file whose name is already in the
archive (as extraction would place it) replaces the first entry of that name,
in its place, and each replacement is named; the others go after the
archive's entries. Entries not replaced keep their stored bytes and order.
The changed archive is written beside the old one and takes its place only
when complete; a damaged archive is not changed (exit status 2).)");
}

void Parser::SetUpDelete() {
    auto& options = line.del;
    del = AddCommand(app, "delete");
    del->add_option("ARCHIVE", options.archive, "The archive to change");
    AddSelection(*del, options.select, "delete", "");
    AddIndices(*del, options.select.indices, "delete");
    AddExcludes(*del, options.select.excludes);
    del->add_flag("-v,--verbose", options.verbose, "Name each entry deleted");
    AddChangeOptions(*del, options.change);
    AddCommon(*del, options.common);
    del->footer(R"(Examples:
  qvr delete data.qvr readme.txt
  qvr delete data.qvr 'sound\*.wav' old
  qvr delete data.qvr --index 3            the entry at place 3 alone
  qvr delete data.qvr sound --exclude '*.ogg'

Entries are selected as extract selects them: an exact name, a folder, or a
pattern; every entry selected goes, repeated names included. A NAME that
selects nothing is an error (exit status 1) and the archive is left as it
was. The rest keep their stored bytes and order; the changed archive takes
the old one's place only when complete.)");
}

void Parser::SetUpRename() {
    auto& options = line.rename;
    rename = AddCommand(app, "rename");
    rename->add_option("ARCHIVE", options.archive, "The archive to change");
    rename->add_option("OLD", options.from,
                       "The entry's name (the first entry of that name), or else a folder (every entry under it)");
    rename->add_option("NEW", options.to, "Its new name; / and \\ separate folders");
    AddChangeOptions(*rename, options.change);
    AddCommon(*rename, options.common);
    rename->footer(R"(Examples:
  qvr rename data.qvr readme.txt doc/readme.txt
  qvr rename data.qvr sound audio          sound\a.wav becomes audio\a.wav, ...

The new name is checked as create checks every name, stored in the archive's
encoding, and refused if an entry of that name exists (in any case: Windows,
where the archive is read, takes CASE.txt and case.txt for one file), if it is
absolute, or if it would need a file as a folder. Nothing else changes: every
entry keeps its place and its stored data.)");
}

void Parser::SetUpMount() {
    if (!HaveMount) return;
    auto& options = line.mount;
    mount = AddCommand(app, "mount");
    mount->add_option("ARCHIVE", options.archive, "The archive (a file)");
    mount->add_option("DIR", options.mountPoint, "The folder to mount it on");
    mount->add_flag("-f,--foreground", options.foreground,
                    "Serve in the foreground until unmounted or interrupted (Ctrl-C unmounts); by default qvr "
                    "returns once the mount is ready and serves in the background");
    mount->add_flag("--nonempty", options.nonempty,
                    "Mount over a folder that holds files (hidden while mounted); by default refused");
    AddCommon(*mount, options.common);
    mount->footer(R"(Examples:
  qvr mount data.qvr ~/data                 ls ~/data; open its files with
                                            any program
  qvr mount --encoding CP932 data.qvr ~/data
  qvr unmount ~/data

The folder shows exactly what extract would write, where it would write it:
names are decoded and split into folders as extract does them, names that
extraction refuses are left out, and of entries that share a path the first
is shown; each entry left out is named on standard error with its index.
Files are read-only (0444, folders 0555), owned by whoever mounted, with the
archive's modification time. Reads come straight from the archive; nothing is
extracted. Where a damaged archive ends inside an entry's data, reading that
part fails (EIO). The mount serves the file it opened: replaced by a change
(qvr add), moved or removed, it is served whole as it was; only a change of
its size or modification time (a write in place, touch) makes reads fail
(EIO) until it is mounted again. DIR must be empty (--nonempty allows files)
and not a mount point already. Exit status 2 and nothing mounted when ARCHIVE
is not a QVR archive; 1 when the mount fails or DIR is refused.)");

    unmount = AddCommand(app, "unmount");
    unmount->add_option("DIR", line.unmount.mountPoint, "The folder an archive is mounted on");
    AddQuiet(*unmount, line.unmount.common);
    unmount->footer(R"(Examples:
  qvr unmount ~/data

Only qvr's own mounts are taken away (as root directly, otherwise through
fusermount3). A mount still in use by some program stays; exit status 1.)");
}

std::optional<int> Parser::Finish(std::vector<std::string> afterDashes) {
    // The archive, then names: from before "--" first, then from after it.
    auto from = afterDashes.begin();
    auto archiveOf = [&](fs::path& archive) -> bool {
        if (archive.empty() && from != afterDashes.end()) archive = *from++;
        if (!archive.empty()) return true;
        fmt::print(stderr, "qvr {}: ARCHIVE is missing (qvr {} --help)\n", line.command, line.command);
        return false;
    };
    auto rest = [&] { return std::vector<std::string>(from, afterDashes.end()); };
    // The positionals a command takes one by one: filled in order from after "--".
    auto exactly = [&](std::initializer_list<std::string*> slots, const char* takes) -> std::optional<int> {
        for (auto* slot : slots)
            if (slot->empty() && from != afterDashes.end()) *slot = *from++;
        const bool missing = std::any_of(slots.begin(), slots.end(), [](const auto* s) { return s->empty(); });
        if (!missing && from == afterDashes.end()) return std::nullopt;
        fmt::print(stderr, "qvr {}: takes {} (qvr {} --help)\n", line.command, takes, line.command);
        return ExitBadUsage;
    };

    if (list->parsed()) {
        if (!archiveOf(line.list.archive)) return ExitBadUsage;
        std::ranges::copy(rest(), std::back_inserter(line.list.select.names));
    } else if (extract->parsed()) {
        if (!archiveOf(line.extract.archive)) return ExitBadUsage;
        std::ranges::copy(rest(), std::back_inserter(line.extract.select.names));
        if (keep && line.extract.overwrite) {
            fmt::print(stderr, "qvr extract: --keep and --overwrite exclude each other\n");
            return ExitBadUsage;
        }
    } else if (create->parsed() || add->parsed()) {
        auto& options = create->parsed() ? line.create : line.add;
        if (!archiveOf(options.archive)) return ExitBadUsage;
        InputsFrom(create->parsed() ? *create : *add, create->parsed() ? createInputs : addInputs, rest(), options);
    } else if (test->parsed()) {
        if (!archiveOf(line.test.archive)) return ExitBadUsage;
        if (from != afterDashes.end()) {
            fmt::print(stderr, "qvr test: takes one archive (qvr test --help)\n");
            return ExitBadUsage;
        }
    } else if (diff->parsed()) {
        if (!archiveOf(line.diff.archive)) return ExitBadUsage;
        std::ranges::copy(rest(), std::back_inserter(line.diff.select.names));
    } else if (del->parsed()) {
        if (!archiveOf(line.del.archive)) return ExitBadUsage;
        std::ranges::copy(rest(), std::back_inserter(line.del.select.names));
    } else if (rename->parsed()) {
        std::string archive = line.rename.archive.string();
        if (const auto status = exactly({&archive, &line.rename.from, &line.rename.to}, "ARCHIVE OLD NEW"))
            return status;
        line.rename.archive = archive;
    } else if (mount && mount->parsed()) {
        std::string archive = line.mount.archive.string(), point = line.mount.mountPoint.string();
        if (const auto status = exactly({&archive, &point}, "ARCHIVE DIR")) return status;
        line.mount.archive = archive;
        line.mount.mountPoint = point;
    } else if (unmount && unmount->parsed()) {
        std::string point = line.unmount.mountPoint.string();
        if (const auto status = exactly({&point}, "DIR")) return status;
        line.unmount.mountPoint = point;
    }
    return std::nullopt;
}

// "qvr extract: --index: needs a value (qvr extract --help)".
int SayParseError(const CLI::ParseError& e, const CommandInfo* command) {
    if (command)
        fmt::print(stderr, "qvr {}: {} (qvr {} --help)\n", command->name, PlainParseError(e), command->name);
    else
        fmt::print(stderr, "qvr: {} (qvr --help)\n", PlainParseError(e));
    return ExitBadUsage;
}

}  // namespace

CommandLine Parse(const std::vector<std::string>& given) {
    CommandLine line;
    if (given.empty()) {
        PrintUsage();
        line.finished = ExitBadUsage;
        return line;
    }
    std::vector<std::string> args = given;
    auto word = CommandWordAt(args);
    if (word && args[*word] == "help") {
        args = HelpArguments(args, *word);
        word = CommandWordAt(args);
    }
    const CommandInfo* command = word ? FindCommand(args[*word]) : nullptr;
    if (word && !command) {
        fmt::print(stderr, "qvr: unknown command '{}'; the commands are {} (qvr help)\n", args[*word],
                   CommandList());
        line.finished = ExitBadUsage;
        return line;
    }
    if (!word) {
        const auto unknown = std::find_if(args.begin(), args.end(), [](const std::string& a) {
            return a != "-h" && a != "--help" && a != "-V" && a != "--version";
        });
        if (unknown != args.end()) {
            fmt::print(stderr, "qvr: unknown option '{}'; a command comes first (qvr help)\n", *unknown);
            line.finished = ExitBadUsage;
            return line;
        }
    }
    if (command && !Available(*command)) {
        fmt::print(stderr, "qvr {}: not available here: mounting needs Linux and libfuse3\n", command->name);
        line.finished = ExitBadUsage;
        return line;
    }
    if (command) line.command = command->name;

    // Everything after "--" is a name, even if it starts with '-': the
    // parser sees only what comes before, and the rest is placed after it
    // (CLI11 loses words after "--" once a list of names has begun).
    const auto dashes = std::find(args.begin(), args.end(), std::string("--"));
    std::vector<std::string> afterDashes(dashes == args.end() ? dashes : dashes + 1, args.end());
    args.erase(dashes, args.end());

    Parser parser(line);
    std::vector<char*> argv{const_cast<char*>("qvr")};
    for (auto& arg : args) argv.push_back(arg.data());
    try {
        parser.app.parse(static_cast<int>(argv.size()), argv.data());
    } catch (const CLI::Success& e) {  // --help, --version
        line.finished = parser.app.exit(e);
        return line;
    } catch (const CLI::ParseError& e) {
        line.finished = SayParseError(e, command);
        return line;
    }
    line.finished = parser.Finish(std::move(afterDashes));
    return line;
}

int Run(int argc, char** argv) {
    const auto line = Parse(std::vector<std::string>(argv + 1, argv + argc));
    if (line.finished) return *line.finished;
    const std::string_view command = line.command;
    if (command == "list") return List(line.list);
    if (command == "extract") return Extract(line.extract);
    if (command == "create") return Create(line.create);
    if (command == "test") return Test(line.test);
    if (command == "diff") return Diff(line.diff);
    if (command == "add") return Add(line.add);
    if (command == "delete") return Delete(line.del);
    if (command == "rename") return Rename(line.rename);
#ifdef QVR_HAVE_MOUNT
    if (command == "mount") return Mount(line.mount);
    if (command == "unmount") return Unmount(line.unmount);
#endif
    return ExitBadUsage;
}

}  // namespace qvr::cli
