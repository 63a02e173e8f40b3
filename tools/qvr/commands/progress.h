// The progress line a long command draws on a terminal, and the summary it
// ends with.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>

namespace qvr::cli {

// Returns to the start of the line and clears it. Older Windows consoles do
// not take escape sequences, so there the line is overwritten with spaces.
#ifdef _WIN32
inline constexpr const char* EraseLine =
    "\r                                                                               \r";
#else
inline constexpr const char* EraseLine = "\r\x1b[K";
#endif

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

// "qvr: VERB N entries, SIZE in T s" on standard error, for a terminal.
void PrintSummary(const char* verb, std::uint64_t entries, std::uint64_t bytes,
                  std::chrono::steady_clock::time_point started);

}  // namespace qvr::cli
