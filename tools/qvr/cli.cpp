// The command line: four commands, each with its options and examples.
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
                       "Encoding of stored names, such as CP932 (any iconv name; Linux only). Names are "
                       "converted to and from UTF-8; without it they pass through as bytes");
}

}  // namespace

int Run(int argc, char** argv) {
    CLI::App app{"qvr: list, extract, create and test QVR archives", "qvr"};
    app.set_version_flag("-V,--version", "qvr " QVR_VERSION);
    app.require_subcommand(1);
    app.footer(R"(Examples:
  qvr list data.qvr
  qvr extract data.qvr -C out
  qvr create new.qvr -C out .
  qvr test data.qvr

Exit status: 0 success, 1 some entries failed, 2 bad usage or not a readable QVR archive.
Run 'qvr COMMAND --help' for a command's options.)");

    ListOptions list;
    auto* listCmd = app.add_subcommand("list", "List the entries of an archive");
    listCmd->add_option("ARCHIVE", list.archive, "The archive")->required();
    listCmd->add_flag("-l,--long", list.longFormat, "Index, size and data offset in columns, and a total line");
    listCmd->add_flag("--json", list.json,
                      "A JSON array of {index, name, nameHex, size, offset}; names are always valid UTF-8 "
                      "(bytes that are not become U+FFFD; nameHex keeps the stored bytes)");
    AddCommon(*listCmd, list.common);
    listCmd->footer(R"(Examples:
  qvr list data.qvr
  qvr list -l data.qvr
  qvr list --json --encoding CP932 data.qvr > names.json

Control bytes in names are shown as \xNN escapes when the output is a terminal.)");

    ExtractOptions extract;
    auto* extractCmd = app.add_subcommand("extract", "Extract entries into a folder or to standard output");
    extractCmd->add_option("ARCHIVE", extract.archive, "The archive")->required();
    extractCmd->add_option("NAME", extract.names,
                           "Entries to extract: exact names or shell-style patterns (* ? [...]); all when none");
    extractCmd->add_option("-C,--directory", extract.target, "Target folder (made if missing; default: .)");
    extractCmd->add_flag("-O,--stdout", extract.toStdout, "Write the selected entries' bytes to standard output");
    extractCmd->add_flag("-i,--ignore-case", extract.ignoreCase, "Names and patterns match ignoring the case of A-Z");
    auto* overwrite = extractCmd->add_flag("--overwrite", extract.overwrite, "Replace existing files");
    bool keep = false;
    extractCmd->add_flag("-k,--keep", keep, "Keep existing files and report them (the default)")->excludes(overwrite);
    extractCmd->add_option("-j,--threads", extract.threads, "Files written at once (default: 2 for many entries)")
        ->check(CLI::Range(0u, 64u));
    AddCommon(*extractCmd, extract.common);
    extractCmd->footer(R"(Examples:
  qvr extract data.qvr                      everything into the current folder
  qvr extract data.qvr -C out 'sound\*.wav' matching entries into out/
  qvr extract -O data.qvr readme.txt | less one entry to standard output

Safe by default: names that are absolute, carry a drive letter or colon, a UNC
prefix or '..' are refused (the rest go on); nothing is written through a
symbolic link; existing files are kept (--keep) unless --overwrite is given.
Each file is written under a temporary name and renamed when complete.
Backslashes and slashes in stored names are folder separators; in patterns,
'*' also matches them, and '/' and '\' match each other.)");

    CreateOptions create;
    auto* createCmd = app.add_subcommand("create", "Pack files and folders into a new archive");
    createCmd->add_option("ARCHIVE", create.archive, "The archive to write")->required();
    createCmd->add_option("FILE", create.inputs, "Files and folders (folders are packed recursively)")->required();
    createCmd->add_option("-C,--directory", create.directory, "Take FILE names relative to this folder");
    createCmd->add_flag("--overwrite", create.overwrite, "Replace ARCHIVE if it exists");
    AddCommon(*createCmd, create.common);
    createCmd->footer(R"(Examples:
  qvr create data.qvr readme.txt sound     readme.txt and sound\... entries
  qvr create data.qvr -C tree .            the contents of tree/, without the prefix
  qvr create --encoding CP932 data.qvr -C tree .

Names are the paths as given, with backslash separators; folders are walked in
byte order of their names. Refuses, writing nothing, more than 65535 files, a
name longer than 255 bytes, or data past the 4 GiB an archive can address.)");

    TestOptions test;
    auto* testCmd = app.add_subcommand("test", "Check an archive's structure");
    testCmd->add_option("ARCHIVE", test.archive, "The archive")->required();
    AddCommon(*testCmd, test.common);
    testCmd->footer(R"(Examples:
  qvr test data.qvr && echo sound

Checks the header, the directory's extent, that every entry's data lie inside
the file without overlapping the directory or each other, and that every name
would be accepted on extraction. Exit status 0 when the archive is sound.)");

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return ExitBadUsage;
    }

    if (listCmd->parsed()) return List(list);
    if (extractCmd->parsed()) return Extract(extract);
    if (createCmd->parsed()) return Create(create);
    if (testCmd->parsed()) return Test(test);
    return ExitBadUsage;
}

}  // namespace qvr::cli
