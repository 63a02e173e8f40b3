#include "commands/common.h"

#include <algorithm>

#include <cstdio>

namespace qvr::cli {
namespace {

// Returns to the start of the line and clears it. Older Windows consoles do
// not take escape sequences, so there the line is overwritten with spaces.
#ifdef _WIN32
constexpr const char* EraseLine = "\r                                                                               \r";
#else
constexpr const char* EraseLine = "\r\x1b[K";
#endif

// Without --encoding the names decide, by the rule in qvr/name_encoding.h,
// which lives in the format library so that the viewer, which reads names
// the same way, can share it. It looks at every name, not a sample: the
// names are in memory already, and one odd name past a sample would be
// read wrongly by every command.
void ChooseEncoding(LoadedArchive& loaded, Reporter& reporter, Talk talk) {
    const auto guess = GuessNameEncoding(loaded.opened);
    std::string chosen(EncodingName(guess.Result()));
    if (!chosen.empty()) {
        std::string error;
        if (auto codec = NameCodec::Make(chosen, error)) loaded.codec = std::move(*codec);
        else chosen.clear();  // a converter without it: the bytes as they are
    }
    if (talk == Talk::Verbose)
        reporter.Say(chosen.empty() ? "names read as they are stored (plain ASCII, or neither all UTF-8 nor all "
                                      "CP932; --encoding chooses)"
                                    : fmt::format("names read as {}, guessed from them (--encoding overrides)", chosen));
    else if (chosen.empty() && guess.SomeLookLikeCp932() && talk == Talk::Normal)
        reporter.Say("some names look like CP932 and others do not; --encoding CP932 reads the first kind");
}

}  // namespace

void Reporter::Emit(const std::string& line) {
    std::lock_guard lock(mutex_);
    // A progress line may be on the terminal; start clean.
    std::fputs(clearLine_ ? (EraseLine + line).c_str() : line.c_str(), stderr);
    std::fflush(stderr);
}

void Reporter::Say(const std::string& text) { Emit(fmt::format("qvr: {}: {}\n", subject_, text)); }

void Reporter::Failed(const std::string& text) {
    failures_.fetch_add(1);
    Say(text);
}

void Reporter::EntryFailed(std::uint32_t index, const std::string& name, const std::string& text) {
    failures_.fetch_add(1);
    Emit(fmt::format("qvr: {}: entry {} '{}': {}\n", subject_, index, name, text));
}

std::optional<LoadedArchive> LoadArchive(const std::filesystem::path& path, const std::string& encoding,
                                         Reporter& reporter, Talk talk, std::optional<InputFile> opened) {
    std::string error;
    auto codec = NameCodec::Make(encoding, error);
    if (!codec) {
        reporter.Say(error);
        return std::nullopt;
    }
    auto file = opened       ? Result<InputFile>(std::move(*opened))
                : path == "-" ? InputFile::SpoolStandardInput()
                              : InputFile::Open(path);
    if (!file) {
        reporter.Say((path == "-" ? "cannot read standard input: " : "cannot open: ") + file.error());
        return std::nullopt;
    }
    LoadedArchive loaded{std::move(*codec), std::move(*file), {}};
    switch (OpenArchiveFile(loaded.file, 0, loaded.opened)) {
    case OpenStatus::Success:
        if (encoding.empty()) ChooseEncoding(loaded, reporter, talk);
        return loaded;
    case OpenStatus::UnrecognisedFormat:
        reporter.Say("not a QVR archive");
        return std::nullopt;
    case OpenStatus::DamagedDirectory:
        reporter.Say("damaged: its directory cannot be read (first data offset below the header's end)");
        return std::nullopt;
    case OpenStatus::OutOfMemory:
        reporter.Say("its directory cannot be read: not enough memory");
        return std::nullopt;
    }
    return std::nullopt;
}

std::string NameForMessage(std::span<const std::uint8_t> stored, const NameCodec& codec) {
    // Messages may end up in logs as well as on terminals: always escaped.
    return DisplayName(TextOf(stored, codec), true);
}

std::string HumanBytes(double bytes) {
    static constexpr const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    std::size_t u = 0;
    while (bytes >= 1024.0 && u + 1 < std::size(units)) {
        bytes /= 1024.0;
        ++u;
    }
    return u == 0 ? fmt::format("{:.0f} {}", bytes, units[u]) : fmt::format("{:.1f} {}", bytes, units[u]);
}

std::string Count(std::uint64_t n, const char* one, const char* many) {
    return fmt::format("{} {}", n, n == 1 ? one : many);
}

void PrintSummary(const char* verb, std::uint64_t entries, std::uint64_t bytes,
                  std::chrono::steady_clock::time_point started) {
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::fputs(fmt::format("qvr: {} {}, {} in {:.2f} s\n", verb, Count(entries, "entry", "entries"),
                           HumanBytes(static_cast<double>(bytes)), seconds)
                   .c_str(),
               stderr);
}

void Echo(const std::string& name, bool toStderr) {
    static std::mutex echoing;
    std::lock_guard lock(echoing);
    std::FILE* to = toStderr ? stderr : stdout;
    std::fputs((name + '\n').c_str(), to);
    if (toStderr) std::fflush(stderr);
}

bool IsExistingNonFolder(const std::filesystem::path& path) {
    std::error_code ec;
    const auto status = std::filesystem::status(path, ec);
    return !ec && std::filesystem::exists(status) && !std::filesystem::is_directory(status);
}

Progress::Progress(bool enabled, std::uint64_t totalEntries, std::uint64_t totalBytes)
    : enabled_(enabled), totalEntries_(totalEntries), totalBytes_(totalBytes),
      start_(std::chrono::steady_clock::now()) {}

Progress::~Progress() { Finish(); }

void Progress::Add(std::uint64_t entries, std::uint64_t bytes) noexcept {
    entries_.fetch_add(entries, std::memory_order_relaxed);
    bytes_.fetch_add(bytes, std::memory_order_relaxed);
}

void Progress::Tick() {
    if (!enabled_) return;
    const auto now = std::chrono::steady_clock::now();
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now - start_).count();
    std::int64_t last = lastDraw_.load(std::memory_order_relaxed);
    if (ms - last < 100 && drawn_) return;
    if (ms < 250 && !drawn_) return;  // short runs draw nothing
    if (!lastDraw_.compare_exchange_strong(last, ms)) return;
    std::unique_lock lock(drawing_, std::try_to_lock);
    if (!lock) return;
    const double seconds = static_cast<double>(ms) / 1000.0;
    const auto bytes = static_cast<double>(bytes_.load());
    std::fputs(fmt::format("{}{}/{} entries, {} of {}, {}/s", EraseLine, entries_.load(), totalEntries_,
                           HumanBytes(bytes), HumanBytes(static_cast<double>(totalBytes_)),
                           HumanBytes(seconds > 0 ? bytes / seconds : 0.0))
                   .c_str(),
               stderr);
    std::fflush(stderr);
    drawn_ = true;
}

void Progress::Finish() {
    std::lock_guard lock(drawing_);
    if (enabled_ && drawn_) {
        std::fputs(EraseLine, stderr);
        std::fflush(stderr);
    }
    drawn_ = false;
    enabled_ = false;
}

}  // namespace qvr::cli
