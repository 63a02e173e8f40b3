// The commands: each one's options, the function that runs it (callable
// without the argument parser; tests use them directly) and returns an
// ExitStatus, and the setup that adds it to the parser. Each command's file
// is named after it (add.cpp holds SetUpAdd and Add).
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "commands/exit_status.h"
// Before result.h: GCC's -Wshadow takes platform.h's CommitStatus::Done,
// declared after result.h's Done, for a shadowing declaration.
#include "platform/platform.h"
#include "result.h"

namespace CLI {
class App;
}  // namespace CLI

namespace qvr::cli {

// The words after "--" and what a setup leaves for after parsing
// (options.h).
class AfterDashes;
using Finish = std::function<Done(AfterDashes&)>;

struct CommonOptions {
    bool quiet = false;
    std::string encoding;  // iconv name; empty: names pass through as bytes
};

// How a change (add, delete, rename) treats other writers and the archive file.
struct ChangeOptions {
    bool noWait = false;      // fail at once when another change holds the archive
    bool breakLinks = false;  // replace an archive that has other hard links (they keep the old one)
};

// Which entries list, extract and delete work on (selection.h): those the
// names or indices select (all when there are neither), less the excluded.
struct SelectOptions {
    std::vector<std::string> names;  // exact names, folders or shell-style patterns
    std::vector<std::uint32_t> indices;  // entries by their place in the directory
    std::vector<std::string> excludes;   // patterns or folders left out
    bool noWildcards = false;        // every argument is an exact name or folder
    bool ignoreCase = false;         // A-Z match a-z
};

// "-" as an archive: standard input for list, extract and test, standard
// output for create.
inline bool IsStandardStream(const std::filesystem::path& archive) { return archive == "-"; }

struct ListOptions {
    CommonOptions common;
    std::filesystem::path archive;
    SelectOptions select;
    bool longFormat = false;
    bool json = false;
};

struct ExtractOptions {
    CommonOptions common;
    std::filesystem::path archive;
    SelectOptions select;
    std::filesystem::path target = ".";
    bool toStdout = false;
    bool overwrite = false;  // default: keep existing files
    bool keep = false;       // -k: the default, said aloud
    bool verbose = false;    // name each entry extracted and each file kept
    unsigned stripComponents = 0;  // leading folders dropped from every name
    unsigned threads = 0;    // 0: choose
};

// A path to pack and the folder it is taken relative to: the -C before it
// on the command line (empty: the current folder).
struct InputPath {
    std::filesystem::path path;
    std::filesystem::path directory;
    friend bool operator==(const InputPath&, const InputPath&) = default;
};

struct CreateOptions {
    CommonOptions common;
    std::filesystem::path archive;
    std::vector<InputPath> inputs;
    bool overwrite = false;           // replace an existing archive
    bool noFollow = false;            // skip symbolic links instead of following them
    bool ignoreFailedRead = false;    // skip inputs that cannot be read instead of refusing them all
    std::vector<std::string> excludes;  // patterns or folders of stored names left out
    // A list of inputs, one a line ("-": standard input); its paths are
    // taken relative to `filesFrom.directory`.
    InputPath filesFrom;
    bool nullSeparated = false;         // the list's names end with NUL bytes, not lines
    // The list once read: its names, each ended by a NUL, relative to
    // `listedDirectory`. Text, not a path each: a list names thousands.
    std::string listed;
    std::filesystem::path listedDirectory;
    bool verbose = false;               // name each entry packed
    ChangeOptions change;               // add only
};

// Delete takes entries as extract selects them.
struct DeleteOptions {
    CommonOptions common;
    std::filesystem::path archive;
    SelectOptions select;
    bool verbose = false;  // name each entry deleted
    ChangeOptions change;
};

struct RenameOptions {
    CommonOptions common;
    std::filesystem::path archive;
    std::string from;  // an entry's name
    std::string to;    // its new name, checked as create checks a name
    ChangeOptions change;
};

// Diff compares the entries extract selects with the files under a folder.
struct DiffOptions {
    CommonOptions common;
    std::filesystem::path archive;
    SelectOptions select;
    std::filesystem::path directory = ".";  // where the entries' files are
};

struct TestOptions {
    CommonOptions common;
    std::filesystem::path archive;
};

// Mount and unmount exist where libfuse3 does (Linux): QVR_HAVE_MOUNT.
struct MountOptions {
    CommonOptions common;
    std::filesystem::path archive;
    std::filesystem::path mountPoint;
    bool foreground = false;  // serve until unmounted or interrupted, not in the background
    bool nonempty = false;    // mount over a folder that holds files (they are hidden while mounted)
};

struct UnmountOptions {
    CommonOptions common;  // -q only: every command takes it
    std::filesystem::path mountPoint;
};

// Each SetUp adds its command's options, positionals and help to
// `command`, binding them to `options`, and gives what is left for once the
// line is parsed.
Finish SetUpList(CLI::App& command, ListOptions& options);
int List(const ListOptions& options);
Finish SetUpExtract(CLI::App& command, ExtractOptions& options);
int Extract(const ExtractOptions& options);
Finish SetUpCreate(CLI::App& command, CreateOptions& options);
int Create(const CreateOptions& options);
Finish SetUpTest(CLI::App& command, TestOptions& options);
int Test(const TestOptions& options);
Finish SetUpDiff(CLI::App& command, DiffOptions& options);
// Exit status 1 when any entry differs from its file (or cannot be compared).
int Diff(const DiffOptions& options);
// Add packs as create does (its --overwrite has no meaning here).
Finish SetUpAdd(CLI::App& command, CreateOptions& options);
int Add(const CreateOptions& options);
// Create for add: nullopt, with nothing done or said, when the archive
// exists (or appears meanwhile), so that add changes it instead.
std::optional<int> CreateForAdd(const CreateOptions& options);
Finish SetUpDelete(CLI::App& command, DeleteOptions& options);
int Delete(const DeleteOptions& options);
Finish SetUpRename(CLI::App& command, RenameOptions& options);
int Rename(const RenameOptions& options);
Finish SetUpMount(CLI::App& command, MountOptions& options);
int Mount(const MountOptions& options);
Finish SetUpUnmount(CLI::App& command, UnmountOptions& options);
int Unmount(const UnmountOptions& options);

// What a command line asks for: the command (its full name) and its options,
// or the exit status when parsing alone ended the run (help, version, bad
// usage, each said).
struct CommandLine {
    std::string command;
    std::optional<int> finished;
    ListOptions list;
    ExtractOptions extract;
    CreateOptions create;
    CreateOptions add;
    TestOptions test;
    DeleteOptions del;
    RenameOptions rename;
    DiffOptions diff;
    MountOptions mount;
    UnmountOptions unmount;
};

// The arguments after the program's name.
CommandLine Parse(const std::vector<std::string>& arguments);

// Parses the command line and runs the command.
int Run(int argc, char** argv);

}  // namespace qvr::cli
