// The command line: the commands, each with its options and examples.
#include <algorithm>
#include <string_view>

#include <CLI/CLI.hpp>
#include <fmt/core.h>

#include "commands/commands.h"
#include "commands/options.h"
#include "help_format.h"

#ifndef QVR_VERSION
#error "QVR_VERSION comes from the project version"
#endif

namespace qvr::cli {
namespace {

// How a command is set up on the parser and run, each with its part of
// the command line.
struct Steps {
    Finish (*setUp)(CLI::App&, CommandLine&) = nullptr;  // nullptr: not in this build
    int (*run)(const CommandLine&) = nullptr;
};

template <auto Options, auto SetUp, auto Run>
constexpr Steps StepsOf{[](CLI::App& command, CommandLine& line) { return SetUp(command, line.*Options); },
                        [](const CommandLine& line) { return Run(line.*Options); }};

// Mounting needs FUSE, which only the Linux build has; elsewhere mount and
// unmount are named, and said to be unavailable.
#ifdef QVR_HAVE_MOUNT
constexpr bool HaveMount = true;
constexpr Steps MountSteps = StepsOf<&CommandLine::mount, SetUpMount, Mount>;
constexpr Steps UnmountSteps = StepsOf<&CommandLine::unmount, SetUpUnmount, Unmount>;
#else
constexpr bool HaveMount = false;
constexpr Steps MountSteps{}, UnmountSteps{};
#endif

// Every command, once: its names, its short usage, its line in the help
// and its steps. Adding a command is one file in commands/ and one line here.
struct CommandInfo {
    std::string_view name;
    std::string_view alias;  // empty: none
    std::string_view usage;  // what follows the name
    std::string_view summary;
    Steps steps;
};

constexpr CommandInfo Commands[] = {
    {"list", "l", "[-l] [--json] ARCHIVE [NAME ...]", "List the entries of an archive",
     StepsOf<&CommandLine::list, SetUpList, List>},
    {"extract", "x", "ARCHIVE [NAME ...] [-C DIR] [-O]", "Extract entries into a folder or to standard output",
     StepsOf<&CommandLine::extract, SetUpExtract, Extract>},
    {"create", "c", "ARCHIVE [-C DIR] FILE|DIR ...", "Pack files and folders into a new archive",
     StepsOf<&CommandLine::create, SetUpCreate, Create>},
    {"test", "t", "ARCHIVE", "Check an archive's structure", StepsOf<&CommandLine::test, SetUpTest, Test>},
    {"diff", "", "ARCHIVE [NAME ...] [-C DIR]", "Compare an archive's entries with the files on disk",
     StepsOf<&CommandLine::diff, SetUpDiff, Diff>},
    {"add", "a", "ARCHIVE [-C DIR] FILE|DIR ...", "Add files to an archive, replacing entries of the same name",
     StepsOf<&CommandLine::add, SetUpAdd, Add>},
    {"delete", "d", "ARCHIVE NAME ...", "Delete entries from an archive",
     StepsOf<&CommandLine::del, SetUpDelete, Delete>},
    {"rename", "", "ARCHIVE OLD NEW", "Rename an entry, or a folder of entries, of an archive",
     StepsOf<&CommandLine::rename, SetUpRename, Rename>},
    {"mount", "", "[-f] [--nonempty] ARCHIVE DIR", "Show an archive's entries as read-only files in a folder",
     MountSteps},
    {"unmount", "", "DIR", "Take away a folder that qvr mount made", UnmountSteps},
};

const CommandInfo* FindCommand(std::string_view word) {
    for (const auto& command : Commands)
        if (word == command.name || (!command.alias.empty() && word == command.alias)) return &command;
    return nullptr;
}

bool Available(const CommandInfo& command) { return command.steps.setUp != nullptr; }

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

// The parser of one command line: the command named, bound to its part of
// `line`, and what it leaves for after parsing. Building a command's
// options is most of what starting the tool costs, so only the command
// named has them; without one (help, version), every command this build
// has is there by its names and summary alone, for the help's list.
struct Parser {
    CLI::App app{"qvr: list, extract, create, test and change QVR archives", "qvr"};
    std::vector<std::pair<CLI::App*, Finish>> commands;

    Parser(CommandLine& line, const CommandInfo* named);
    // The positionals after "--" placed, and what the parser cannot check
    // checked, for the command parsed.
    Done FinishCommand(const std::string& command, std::vector<std::string> afterDashes);
};

Parser::Parser(CommandLine& line, const CommandInfo* named) {
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
    for (const auto& info : Commands) {
        if (!Available(info) || (named && &info != named)) continue;
        auto* command = app.add_subcommand(std::string(info.name), std::string(info.summary));
        if (!info.alias.empty()) command->alias(std::string(info.alias));
        if (named) commands.emplace_back(command, info.steps.setUp(*command, line));
    }
}

Done Parser::FinishCommand(const std::string& name, std::vector<std::string> afterDashes) {
    for (auto& [command, finish] : commands) {
        if (!command->parsed()) continue;
        AfterDashes rest(name, std::move(afterDashes));
        return finish(rest);
    }
    return {};
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

    Parser parser(line, command);
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
    if (const auto done = parser.FinishCommand(line.command, std::move(afterDashes)); !done) {
        fmt::print(stderr, "qvr {}: {}\n", line.command, done.error());
        line.finished = ExitBadUsage;
    }
    return line;
}

int Run(int argc, char** argv) {
    const auto line = Parse(std::vector<std::string>(argv + 1, argv + argc));
    if (line.finished) return *line.finished;
    const CommandInfo* command = FindCommand(line.command);
    return command ? command->steps.run(line) : ExitBadUsage;
}

}  // namespace qvr::cli
