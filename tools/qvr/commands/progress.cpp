#include "commands/progress.h"

#include <cstdio>
#include <iterator>

#include <fmt/core.h>

#include "commands/report.h"

namespace qvr::cli {

std::string HumanBytes(double bytes) {
    static constexpr const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    std::size_t u = 0;
    while (bytes >= 1024.0 && u + 1 < std::size(units)) {
        bytes /= 1024.0;
        ++u;
    }
    return u == 0 ? fmt::format("{:.0f} {}", bytes, units[u]) : fmt::format("{:.1f} {}", bytes, units[u]);
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
