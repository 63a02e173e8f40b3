// What a command says beside its work: messages that name the archive and
// the entry, one line each, and the names -v echoes.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <span>
#include <string>

#include "names/codec.h"

namespace qvr::cli {

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
    // A progress line may be on the terminal: each message clears it first.
    void ClearLine(bool clear) { clearLine_ = clear; }

private:
    void Emit(const std::string& line);
    std::string subject_;
    std::mutex mutex_;
    std::atomic<std::uint64_t> failures_{0};
    bool clearLine_ = false;
};

// How much a command says beside its work: -q, nothing to spare; -v, also
// what it chose on its own.
enum class Talk { Quiet, Normal, Verbose };
inline Talk TalkOf(bool quiet, bool verbose = false) {
    return quiet ? Talk::Quiet : verbose ? Talk::Verbose : Talk::Normal;
}

// An entry's name for messages: converted when an encoding is given, with
// control bytes escaped.
std::string NameForMessage(std::span<const std::uint8_t> stored, const NameCodec& codec);

// "1 entry", "2 entries".
std::string Count(std::uint64_t n, const char* one, const char* many);

// -v: an entry's name on a line of its own, on standard output, or on
// standard error when standard output carries an archive or entry data.
// Lines from different threads never mix.
void Echo(const std::string& name, bool toStderr);

}  // namespace qvr::cli
