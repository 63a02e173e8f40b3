#include "commands/report.h"

#include <cstdio>

#include <fmt/core.h>

#include "commands/progress.h"
#include "names/names.h"

namespace qvr::cli {

void Reporter::Emit(const std::string& line) {
    std::lock_guard lock(mutex_);
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

std::string NameForMessage(std::span<const std::uint8_t> stored, const NameCodec& codec) {
    // Messages may end up in logs as well as on terminals: always escaped.
    return DisplayName(TextOf(stored, codec), true);
}

std::string Count(std::uint64_t n, const char* one, const char* many) {
    return fmt::format("{} {}", n, n == 1 ? one : many);
}

void Echo(const std::string& name, bool toStderr) {
    static std::mutex echoing;
    std::lock_guard lock(echoing);
    std::FILE* to = toStderr ? stderr : stdout;
    std::fputs((name + '\n').c_str(), to);
    if (toStderr) std::fflush(stderr);
}

}  // namespace qvr::cli
