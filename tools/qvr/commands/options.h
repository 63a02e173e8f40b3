// What several commands' options share: the common options, the selection
// of entries, a change's options and the inputs create and add pack, each
// added to a command's parser in one call; and the words after "--", which
// each command takes for its own positionals once the line is parsed.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include "commands/commands.h"
#include "result.h"

namespace CLI {
class App;
class Option;
}  // namespace CLI

namespace qvr::cli {

// Options with values: each takes exactly one value, never the words after
// it, so that options may stand anywhere among the positionals. Repeated,
// a vector option gathers one value each time; any other is given once.
template <typename T>
CLI::Option* AddValue(CLI::App& command, const std::string& names, T& value, const std::string& help);

// A value option whose number must lie in [low, high].
void AddBounded(CLI::App& command, const std::string& names, unsigned& value, unsigned low, unsigned high,
                const std::string& help);
// A positional argument (ARCHIVE, DIR, OLD, NEW).
void AddPositional(CLI::App& command, const std::string& name, std::filesystem::path& value, const std::string& help);
void AddPositional(CLI::App& command, const std::string& name, std::string& value, const std::string& help);
// A flag: true when given.
void AddFlag(CLI::App& command, const std::string& names, bool& value, const std::string& help);
// The help's closing text: examples, then what the command promises.
void SetFooter(CLI::App& command, const std::string& text);

// The command files reach the parser only through these calls, so that
// only this file and cli.cpp compile the parser's headers, which cost more
// than the rest of a command's source together.
void AddQuiet(CLI::App& command, CommonOptions& common);
// -q and --encoding.
void AddCommon(CLI::App& command, CommonOptions& common);
// NAME, --no-wildcards and -i. `whenNone`: what no NAME means, as the end
// of the help line.
void AddSelection(CLI::App& command, SelectOptions& select, const char* what, const char* whenNone);
void AddIndices(CLI::App& command, std::vector<std::uint32_t>& indices, const char* what);
void AddExcludes(CLI::App& command, std::vector<std::string>& excludes);
// --no-wait and --break-links.
void AddChangeOptions(CLI::App& command, ChangeOptions& change);

// The words after "--", which the parser never sees (it loses them once a
// list of names has begun): each command takes them, in order, for the
// positionals the parser left empty. Failures are worded for "qvr COMMAND: ".
class AfterDashes {
public:
    AfterDashes(std::string command, std::vector<std::string> words)
        : command_(std::move(command)), words_(std::move(words)) {}
    // ARCHIVE as parsed, or else the next word here.
    Done Archive(std::filesystem::path& archive);
    // The words not taken yet, appended to `names`.
    void AppendTo(std::vector<std::string>& names);
    std::vector<std::string> Rest();
    bool Empty() const { return next_ == words_.size(); }
    // Positionals taken one by one: each empty slot filled in order; then
    // every slot must be filled and no word left. `takes`: "ARCHIVE OLD NEW".
    Done Exactly(std::initializer_list<std::string*> slots, const char* takes);

private:
    std::string command_;
    std::vector<std::string> words_;
    std::size_t next_ = 0;
};

// What create and add pack: FILE and folder arguments, each -C before them,
// -P, --exclude and -T (an ARCHIVE argument comes before, with each
// command's own words). The paths are gathered as text and matched with
// their -C once parsed: the Finish given places them in `options.inputs`.
Finish AddInputs(CLI::App& command, CreateOptions& options);

// True when `path` exists and is not a folder (links followed): a -C that
// cannot be one.
bool IsExistingNonFolder(const std::filesystem::path& path);

}  // namespace qvr::cli
