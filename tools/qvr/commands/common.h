// What every command shares: exit statuses, messages that name the archive
// and the entry, opening an archive, and the progress line.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <span>
#include <string>

#include <fmt/core.h>

#include "names/names.h"
#include "platform/platform.h"
#include "qvr/archive.h"

namespace qvr::cli {

enum ExitStatus : int {
    ExitSuccess = 0,
    ExitSomeFailed = 1,  // the command ran, but some entries (or inputs) failed
    ExitBadUsage = 2,    // bad arguments, or not a readable QVR archive
};

// The archive as messages name it: "-" is a stream, not a file of that name.
inline std::string ArchiveLabel(const std::filesystem::path& archive, const char* stream = "standard input") {
    return archive == "-" ? std::string(stream) : archive.string();
}

// Messages to standard error, one line each, never interleaved between threads.
class Reporter {
public:
    explicit Reporter(std::string subject) : subject_(std::move(subject)) {}
    // "qvr: SUBJECT: TEXT"
    void Say(const std::string& text);
    // "qvr: SUBJECT: entry INDEX 'NAME': TEXT", counted as a failure.
    void EntryFailed(std::uint32_t index, const std::string& name, const std::string& text);
    void Failed(const std::string& text);
    bool AnyFailed() const noexcept { return failures_.load() != 0; }
    std::uint64_t Failures() const noexcept { return failures_.load(); }
    void ClearLine(bool clear) { clearLine_ = clear; }

private:
    void Emit(const std::string& line);
    std::string subject_;
    std::mutex mutex_;
    std::atomic<std::uint64_t> failures_{0};
    bool clearLine_ = false;
};

// An archive file, opened with its directory in memory, and the codec for
// its names.
struct LoadedArchive {
    NameCodec codec;
    InputFile file;
    OpenedArchive opened;
};

// How much a command says beside its work: -q, nothing to spare; -v, also
// what it chose on its own.
enum class Talk { Quiet, Normal, Verbose };
inline Talk TalkOf(bool quiet, bool verbose = false) {
    return quiet ? Talk::Quiet : verbose ? Talk::Verbose : Talk::Normal;
}

// Makes the codec for `encoding` (checked first: a bad option is reported
// before any file is touched), then opens the archive ("-": standard input,
// spooled first, since entries are read at their offsets); on failure says
// why through `reporter` and gives nullopt. Without an encoding the names
// choose it: UTF-8 or CP932 when every name reads so, otherwise they pass
// through as bytes (said under -v; where some names look like CP932 and the
// rest cannot, a hint, unless quiet).
// `opened`: the archive's file, already open (a change opens it its own way).
std::optional<LoadedArchive> LoadArchive(const std::filesystem::path& path, const std::string& encoding,
                                         Reporter& reporter, Talk talk = Talk::Normal,
                                         std::optional<InputFile> opened = std::nullopt);

// An entry's name for messages: converted when an encoding is given, with
// control bytes escaped.
std::string NameForMessage(std::span<const std::uint8_t> stored, const NameCodec& codec);

// "entries and bytes done, rate" on standard error while it is a terminal.
class Progress {
public:
    Progress(bool enabled, std::uint64_t totalEntries, std::uint64_t totalBytes);
    ~Progress();
    void Add(std::uint64_t entries, std::uint64_t bytes) noexcept;
    // Redraws at most ten times a second; cheap to call after every entry.
    void Tick();
    void Finish();
    bool Enabled() const noexcept { return enabled_; }

private:
    bool enabled_;
    std::uint64_t totalEntries_;
    std::uint64_t totalBytes_;
    std::atomic<std::uint64_t> entries_{0};
    std::atomic<std::uint64_t> bytes_{0};
    std::chrono::steady_clock::time_point start_;
    std::atomic<std::int64_t> lastDraw_{0};
    std::mutex drawing_;
    std::atomic<bool> drawn_{false};
};

std::string HumanBytes(double bytes);

// "1 entry", "2 entries".
std::string Count(std::uint64_t n, const char* one, const char* many);

// "qvr: VERB N entries, SIZE in T s" on standard error, for a terminal.
void PrintSummary(const char* verb, std::uint64_t entries, std::uint64_t bytes,
                  std::chrono::steady_clock::time_point started);

// -v: an entry's name on a line of its own, on standard output, or on
// standard error when standard output carries an archive or entry data.
// Lines from different threads never mix.
void Echo(const std::string& name, bool toStderr);

// True when `path` exists and is not a folder (links followed).
bool IsExistingNonFolder(const std::filesystem::path& path);

}  // namespace qvr::cli
