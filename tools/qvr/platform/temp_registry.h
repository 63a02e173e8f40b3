// What posix.cpp and win32.cpp share (shared.cpp), and the few system
// steps that shared code calls back into.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace qvr::cli {

// Where a temporary output lies (empty where it does not fit), in a form the interrupt handler can use
// without allocating: the folder's handle and the name on POSIX, the whole
// path on Windows.
struct TempPlace {
#ifdef _WIN32
    wchar_t path[1024] = {};
    bool Empty() const noexcept { return path[0] == 0; }
#else
    int folder = -1;
    char name[64] = {};
    bool Empty() const noexcept { return name[0] == 0; }
#endif
};

// Registers a temporary output for removal on interrupt; the slot to free,
// or -1 when the place does not fit in a slot. There is no limit on how
// many are held at once (every extraction worker has one).
int ClaimSlot(const TempPlace& place);
void FreeSlot(int slot) noexcept;
// Removes every registered output: only what a signal handler may do.
void RemoveRegisteredTemporaries() noexcept;

// Per system: removes the file at `place`; safe in a signal handler.
void RemoveTemporary(const TempPlace& place) noexcept;
// Per system: this process's id, for temporary names.
long ProcessId() noexcept;
// Per system: reads standard input into `into`; 0 at its end.
Result<std::size_t> ReadStandardInput(std::span<std::uint8_t> into);

// ".qvr-PID-N.part", a new N each call.
std::string TemporaryName();

// A buffer of at least `size` bytes, one per thread, kept for its life.
std::vector<std::uint8_t>& ThreadBuffer(std::size_t size);

// Copies all of standard input to the end of `spool`; the bytes copied.
Result<std::uint64_t> SpoolStandardInputTo(NativeHandle spool);

}  // namespace qvr::cli
