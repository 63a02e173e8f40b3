// The command line: the commands, each with its options and examples.
#include <algorithm>
#include <array>
#include <string_view>

#include <CLI/CLI.hpp>
#include <fmt/core.h>

#include "commands.h"
#include "common.h"

#ifndef QVR_VERSION
#error "QVR_VERSION comes from the project version"
#endif

namespace qvr::cli {
namespace {

void AddCommon(CLI::App& command, CommonOptions& common) {
    command.add_flag("-q,--quiet", common.quiet, "No progress line and no summary");
    command.add_option("--encoding", common.encoding,
                       "Encoding of stored names, such as CP932 (on Linux any iconv name; on Windows a code "
                       "page name such as SHIFT_JIS, GBK, BIG5, UTF-8, or its number). Names are converted to "
                       "and from UTF-8. Without it the names choose: UTF-8 when every name is UTF-8, else "
                       "CP932 when every name is CP932, else they pass through as bytes (Linux) or in the "
                       "system code page (Windows)");
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

// --index N and --exclude GLOB: one value each time they are given, so that
// the archive after them is never taken for a second value.
void AddIndices(CLI::App& command, std::vector<std::uint32_t>& indices, const char* what) {
    command.add_option("--index", indices,
                       fmt::format("Also {} the entry at this place in the directory, counted from 0 as list -l "
                                   "shows (repeatable); the only way to reach the second of two entries that "
                                   "share a name",
                                   what))
        ->expected(1)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
}

void AddExcludes(CLI::App& command, std::vector<std::string>& excludes) {
    command.add_option("--exclude", excludes,
                       "Leave out names this pattern matches, or this folder (repeatable); matched against the "
                       "name as stored, as a NAME is")
        ->expected(1)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
}

void AddFileList(CLI::App& command, CreateOptions& options) {
    command.add_option("-T,--files-from", options.filesFrom,
                       "Also pack the files and folders this file names, one a line ('-': standard input)");
    command.add_flag("--null", options.nullSeparated, "The -T list's names end with NUL bytes (find -print0)");
    command.add_flag("-v,--verbose", options.verbose, "Name each entry as it is packed");
}

void AddChangeOptions(CLI::App& command, ChangeOptions& change) {
    command.add_flag("--no-wait", change.noWait,
                     "Fail at once (exit status 1) when another qvr is changing the archive, instead of waiting");
    command.add_flag("--break-links", change.breakLinks,
                     "Change an archive that has other hard links: this name gets the changed archive, the "
                     "other names keep the old one");
}

// What create and add pack: FILE and folder arguments, -C, -P, --exclude
// and -T (an ARCHIVE argument comes before, with each command's own words).
void AddInputs(CLI::App& command, CreateOptions& options) {
    command.add_option("FILE", options.inputs, "Files and folders (folders are packed recursively)");
    command.add_option("-C,--directory", options.directory, "Take FILE names relative to this folder");
    command.add_flag("-P,--no-follow", options.noFollow,
                     "Leave out symbolic links, with a warning each (exit status 1); by default links to files "
                     "and folders are followed");
    AddExcludes(command, options.excludes);
    AddFileList(command, options);
}

constexpr std::array<std::string_view, 16> Commands{"list", "l", "extract", "x", "create", "c", "test", "t", "diff",
                                                    "add", "a", "delete", "d", "rename", "mount", "unmount"};

// Mounting needs FUSE, which only the Linux build has.
#ifdef QVR_HAVE_MOUNT
constexpr bool HaveMount = true;
constexpr const char* MountUsage = R"(       qvr mount [-f] ARCHIVE DIR
       qvr unmount DIR
)";
#else
constexpr bool HaveMount = false;
constexpr const char* MountUsage = "";
#endif

// The first word that is not an option: the command.
std::optional<std::string_view> CommandWord(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (!arg.starts_with("-")) return arg;  // -h, -V and their long forms take no value
    }
    return std::nullopt;
}

// The command word, if the line has one that is not a known command: said
// plainly rather than as a missing subcommand.
std::optional<std::string> UnknownCommand(int argc, char** argv) {
    const auto word = CommandWord(argc, argv);
    if (word && std::find(Commands.begin(), Commands.end(), *word) == Commands.end()) return std::string(*word);
    return std::nullopt;
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

}  // namespace

int Run(int argc, char** argv) {
    if (argc <= 1) {
        fmt::print(stderr, R"(usage: qvr list|l [-l] [--json] ARCHIVE [NAME ...]
       qvr extract|x ARCHIVE [NAME ...] [-C DIR] [-O]
       qvr create|c ARCHIVE [-C DIR] FILE|DIR ...
       qvr test|t ARCHIVE
       qvr diff ARCHIVE [NAME ...] [-C DIR]
       qvr add|a ARCHIVE [-C DIR] FILE|DIR ...
       qvr delete|d ARCHIVE NAME ...
       qvr rename ARCHIVE OLD NEW
{}'qvr --help' and 'qvr COMMAND --help' say more.
)", MountUsage);
        return ExitBadUsage;
    }
    if (const auto unknown = UnknownCommand(argc, argv)) {
        fmt::print(stderr, "qvr: unknown command '{}'; the commands are list, extract, create, test, add, delete and rename (qvr --help)\n",
                   *unknown);
        return ExitBadUsage;
    }
    if (const auto word = CommandWord(argc, argv); !HaveMount && (word == "mount" || word == "unmount")) {
        fmt::print(stderr, "qvr {}: not available here: mounting needs Linux and libfuse3\n", *word);
        return ExitBadUsage;
    }
    // Everything after "--" is a name, even if it starts with '-': the
    // parser sees only what comes before, and the rest is added after it.
    std::vector<std::string> afterDashes;
    int parsedArgc = argc;
    for (int i = 1; i < argc; ++i)
        if (std::string_view(argv[i]) == "--") {
            afterDashes.assign(argv + i + 1, argv + argc);
            parsedArgc = i;
            break;
        }

    CLI::App app{"qvr: list, extract, create, test and change QVR archives", "qvr"};
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
Exit status: 0 success, 1 some entries failed, 2 bad usage or not a readable QVR archive.
Run 'qvr COMMAND --help' for a command's options.)",
                           HaveMount ? "  qvr mount data.qvr ~/data && qvr unmount ~/data\n" : ""));

    ListOptions list;
    auto* listCmd = app.add_subcommand("list", "List the entries of an archive")->alias("l");
    listCmd->add_option("ARCHIVE", list.archive, "The archive ('-': standard input)");
    AddSelection(*listCmd, list.select, "list", "; all when none");
    AddExcludes(*listCmd, list.select.excludes);
    listCmd->add_flag("-l,--long", list.longFormat, "Index, size and data offset in columns, and a total line");
    listCmd->add_flag("--json", list.json,
                      "A JSON array of {index, name, nameHex, size, offset}; names are always valid UTF-8 "
                      "(bytes that are not become U+FFFD; nameHex keeps the stored bytes)");
    AddCommon(*listCmd, list.common);
    listCmd->footer(R"(Examples:
  qvr list data.qvr
  qvr list -l data.qvr
  qvr list --json --encoding CP932 data.qvr > names.json
  curl -s https://example.org/data.qvr | qvr list -l -

Control bytes in names are shown as \xNN escapes when the output is a terminal.)");

    ExtractOptions extract;
    auto* extractCmd =
        app.add_subcommand("extract", "Extract entries into a folder or to standard output")->alias("x");
    extractCmd->add_option("ARCHIVE", extract.archive, "The archive ('-': standard input)");
    AddSelection(*extractCmd, extract.select, "extract", "; all when there are none and no --index");
    extractCmd->add_option("-C,--directory", extract.target, "Target folder (made if missing; default: .)");
    extractCmd->add_flag("-O,--stdout", extract.toStdout, "Write the selected entries' bytes to standard output");
    extractCmd->add_flag("--overwrite", extract.overwrite, "Replace existing files (not with --keep)");
    bool keep = false;
    extractCmd->add_flag("-k,--keep", keep, "Keep existing files, counted in one line (the default)");
    extractCmd->add_flag("-v,--verbose", extract.verbose,
                         "Name each entry as it is written (on standard error with -O), and each existing file kept");
    AddIndices(*extractCmd, extract.select.indices, "extract");
    AddExcludes(*extractCmd, extract.select.excludes);
    extractCmd->add_option("--strip-components", extract.stripComponents,
                           "Drop this many leading folders from every name; names with no more parts are skipped");
    extractCmd->add_option("-j,--threads", extract.threads,
                           "Files written at once, 1 to 64; 0, the default, chooses 2 for 64 entries or more, else 1")
        ->check(CLI::Range(0u, 64u));
    AddCommon(*extractCmd, extract.common);
    extractCmd->footer(R"(Examples:
  qvr extract data.qvr                      everything into the current folder
  qvr extract data.qvr -C out 'sound\*.wav' matching entries into out/
  qvr extract -O data.qvr readme.txt | less one entry to standard output
  qvr extract data.qvr sound                the folder sound and everything in it
  qvr extract --no-wildcards data.qvr 'a[1].txt'
  qvr extract data.qvr --index 7 -O        the entry at place 7, even if its name repeats
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

    CreateOptions create;
    auto* createCmd = app.add_subcommand("create", "Pack files and folders into a new archive")->alias("c");
    createCmd->add_option("ARCHIVE", create.archive, "The archive to write ('-': standard output)");
    AddInputs(*createCmd, create);
    createCmd->add_flag("--overwrite", create.overwrite, "Replace ARCHIVE if it exists");
    AddCommon(*createCmd, create.common);
    createCmd->footer(R"(Examples:
  qvr create data.qvr readme.txt sound     readme.txt and sound\... entries
  qvr create data.qvr -C tree .            the contents of tree/, without the prefix
  qvr create --encoding CP932 data.qvr -C tree .
  qvr create - tree | ssh host 'cat > tree.qvr'
  find tree -name '*.txt' -print0 | qvr create texts.qvr --null -T -
  qvr create data.qvr tree --exclude '*.bak' --exclude tree/cache

Names are the paths as given, with backslash separators; folders are walked in
byte order of their names. Every name must come back out as the path it came
from, so create refuses, writing nothing and listing every offending path:
names that extraction refuses (a colon, a component of dots and spaces, a
device name such as nul.txt or COM1, control bytes, < > " | ? *), a backslash
inside a file name, names that do not come back unchanged from --encoding,
two different files stored under one name, a symbolic link loop or a link to
nothing, more than 65535 files, a name longer than 255 bytes, or data past the
4 GiB an archive can address. Empty folders cannot be stored; each is named.)");

    TestOptions test;
    auto* testCmd = app.add_subcommand("test", "Check an archive's structure")->alias("t");
    testCmd->add_option("ARCHIVE", test.archive, "The archive ('-': standard input)");
    AddCommon(*testCmd, test.common);
    testCmd->footer(R"(Examples:
  qvr test data.qvr && echo sound

Checks the header, the directory's extent, that every entry's data lie inside
the file without overlapping the directory or each other, and that every entry
would be extracted: names accepted, none repeated, none both a file and a
folder. Exit status 0 when the archive is sound; whenever extracting it into an
empty folder would fail, test fails too.)");

    DiffOptions diff;
    auto* diffCmd = app.add_subcommand("diff", "Compare an archive's entries with the files on disk");
    diffCmd->add_option("ARCHIVE", diff.archive, "The archive ('-': standard input)");
    AddSelection(*diffCmd, diff.select, "compare", " (default: all)");
    diffCmd->add_option("-C,--directory", diff.directory, "Where the files are (default: the current folder)");
    AddCommon(*diffCmd, diff.common);
    diffCmd->footer(R"(Examples:
  qvr diff data.qvr -C out                 after qvr extract data.qvr -C out
  qvr diff data.qvr 'sound\*.wav' && echo unchanged

Each entry selected (as extract selects) is compared with the file that
extract would have written for it under DIR: one line on standard output for
each that is missing, not a file, of another size or with other content.
Files on disk that no entry names are not looked at. Exit status 0 when
nothing differs, 1 when anything does or cannot be compared.)");

    CreateOptions add;
    auto* addCmd = app.add_subcommand("add", "Add files to an archive, replacing entries of the same name")
                       ->alias("a");
    addCmd->add_option("ARCHIVE", add.archive, "The archive to change (made if missing)");
    AddInputs(*addCmd, add);
    AddChangeOptions(*addCmd, add.change);
    AddCommon(*addCmd, add.common);
    addCmd->footer(R"(Examples:
  qvr add data.qvr -C tree sound/new.wav   adds sound\new.wav, or replaces it
  qvr add data.qvr readme.txt

Files are named and checked exactly as create names and checks them, and if
any is refused nothing is written. A file whose name is already in the
archive (as extraction would place it) replaces the first entry of that name,
in its place, and each replacement is named; the others go after the
archive's entries. Entries not replaced keep their stored bytes and order.
The changed archive is written beside the old one and takes its place only
when complete; a damaged archive is not changed (exit status 2).)");

    DeleteOptions del;
    auto* deleteCmd = app.add_subcommand("delete", "Delete entries from an archive")->alias("d");
    deleteCmd->add_option("ARCHIVE", del.archive, "The archive to change");
    AddSelection(*deleteCmd, del.select, "delete", "");
    AddIndices(*deleteCmd, del.select.indices, "delete");
    deleteCmd->add_flag("-v,--verbose", del.verbose, "Name each entry deleted");
    AddChangeOptions(*deleteCmd, del.change);
    AddCommon(*deleteCmd, del.common);
    deleteCmd->footer(R"(Examples:
  qvr delete data.qvr readme.txt
  qvr delete data.qvr 'sound\*.wav' old
  qvr delete data.qvr --index 3            the entry at place 3 alone

Entries are selected as extract selects them: an exact name, a folder, or a
pattern; every entry selected goes, repeated names included. A NAME that
selects nothing is an error (exit status 1) and the archive is left as it
was. The rest keep their stored bytes and order; the changed archive takes
the old one's place only when complete.)");

    RenameOptions rename;
    auto* renameCmd = app.add_subcommand("rename", "Rename an entry, or a folder of entries, of an archive");
    renameCmd->add_option("ARCHIVE", rename.archive, "The archive to change");
    renameCmd->add_option("OLD", rename.from,
                          "The entry's name (the first entry of that name), or else a folder (every entry under it)");
    renameCmd->add_option("NEW", rename.to, "Its new name; / and \\ separate folders");
    AddChangeOptions(*renameCmd, rename.change);
    AddCommon(*renameCmd, rename.common);
    renameCmd->footer(R"(Examples:
  qvr rename data.qvr readme.txt doc/readme.txt
  qvr rename data.qvr sound audio          sound\a.wav becomes audio\a.wav, and so on

The new name is checked as create checks every name, stored in the archive's
encoding, and refused if an entry of that name exists (in any case: Windows,
where the archive is read, takes CASE.txt and case.txt for one file), if it is
absolute, or if it would need a file as a folder. Nothing else changes: every
entry keeps its place and its stored data.)");

#ifdef QVR_HAVE_MOUNT
    MountOptions mount;
    auto* mountCmd = app.add_subcommand("mount", "Show an archive's entries as read-only files in a folder");
    mountCmd->add_option("ARCHIVE", mount.archive, "The archive (a file)");
    mountCmd->add_option("DIR", mount.mountPoint, "The folder to mount it on");
    mountCmd->add_flag("-f,--foreground", mount.foreground,
                       "Serve in the foreground until unmounted or interrupted (Ctrl-C unmounts); by default "
                       "qvr returns once the mount is ready and serves in the background");
    mountCmd->add_flag("--nonempty", mount.nonempty,
                       "Mount over a folder that holds files (hidden while mounted); by default refused");
    AddCommon(*mountCmd, mount.common);
    mountCmd->footer(R"(Examples:
  qvr mount data.qvr ~/data                 ls ~/data, open its files with any program
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

    UnmountOptions unmount;
    auto* unmountCmd = app.add_subcommand("unmount", "Take away a folder that qvr mount made");
    unmountCmd->add_option("DIR", unmount.mountPoint, "The folder an archive is mounted on")->required();
    unmountCmd->footer(R"(Examples:
  qvr unmount ~/data

Only qvr's own mounts are taken away (as root directly, otherwise through
fusermount3). A mount still in use by some program stays; exit status 1.)");
#endif

    try {
        app.parse(parsedArgc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        fmt::print(stderr, "qvr: {} (qvr --help)\n", PlainParseError(e));
        return ExitBadUsage;
    }

    // The archive, then names: from before "--" first, then from after it.
    auto take = [&](std::filesystem::path& archive, auto& rest, const char* command) {
        auto from = afterDashes.begin();
        if (archive.empty() && from != afterDashes.end()) archive = *from++;
        rest.insert(rest.end(), from, afterDashes.end());
        if (!archive.empty()) return true;
        fmt::print(stderr, "qvr {}: ARCHIVE is missing (qvr {} --help)\n", command, command);
        return false;
    };
    if (listCmd->parsed()) return take(list.archive, list.select.names, "list") ? List(list) : ExitBadUsage;
    if (extractCmd->parsed()) {
        if (!take(extract.archive, extract.select.names, "extract")) return ExitBadUsage;
        if (keep && extract.overwrite) {
            fmt::print(stderr, "qvr extract: --keep and --overwrite exclude each other\n");
            return ExitBadUsage;
        }
        return Extract(extract);
    }
    if (createCmd->parsed()) return take(create.archive, create.inputs, "create") ? Create(create) : ExitBadUsage;
    if (addCmd->parsed()) return take(add.archive, add.inputs, "add") ? Add(add) : ExitBadUsage;
    if (deleteCmd->parsed()) return take(del.archive, del.select.names, "delete") ? Delete(del) : ExitBadUsage;
    if (renameCmd->parsed()) {
        std::vector<std::string> rest;
        if (!take(rename.archive, rest, "rename")) return ExitBadUsage;
        auto next = rest.begin();
        if (rename.from.empty() && next != rest.end()) rename.from = *next++;
        if (rename.to.empty() && next != rest.end()) rename.to = *next++;
        if (rename.from.empty() || rename.to.empty() || next != rest.end()) {
            fmt::print(stderr, "qvr rename: takes ARCHIVE OLD NEW (qvr rename --help)\n");
            return ExitBadUsage;
        }
        return Rename(rename);
    }
#ifdef QVR_HAVE_MOUNT
    if (mountCmd->parsed()) {
        std::vector<std::string> rest;
        if (!take(mount.archive, rest, "mount")) return ExitBadUsage;
        if (mount.mountPoint.empty() && !rest.empty()) {
            mount.mountPoint = rest.front();
            rest.erase(rest.begin());
        }
        if (mount.mountPoint.empty() || !rest.empty()) {
            fmt::print(stderr, "qvr mount: takes ARCHIVE DIR (qvr mount --help)\n");
            return ExitBadUsage;
        }
        return Mount(mount);
    }
    if (unmountCmd->parsed()) return Unmount(unmount);
#endif
    if (diffCmd->parsed()) return take(diff.archive, diff.select.names, "diff") ? Diff(diff) : ExitBadUsage;
    if (testCmd->parsed()) {
        std::vector<std::string> extra;
        if (!take(test.archive, extra, "test")) return ExitBadUsage;
        if (!extra.empty()) {
            fmt::print(stderr, "qvr test: takes one archive\n");
            return ExitBadUsage;
        }
        return Test(test);
    }
    return ExitBadUsage;
}

}  // namespace qvr::cli
