// A fixed mix of calls to all five exports on one archive, as a host
// makes them: successes from files and from memory, to memory and to
// disk, and every failure that can be provoked. Each call frees what it
// receives and reports what it saw, so that runs can be compared.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "support.h"

namespace axqvr::test {

// What one call gave: its result, and a digest of what it handed over
// (the block's bytes, the record, the text).
struct CallOutcome {
    std::int32_t result = 0;
    std::uint64_t digest = 0;
    bool operator==(const CallOutcome&) const = default;
};

struct MixedCall {
    std::string what;
    std::function<CallOutcome()> call;
};

// The files and images the mix works on, in the current directory; made
// by Prepare and removed by Remove. Calls of the mix never write one.
class CallMix {
public:
    // `threadSafe` leaves out what only one thread at a time may do: disk
    // output to a shared name, and the probe through a shared file handle.
    explicit CallMix(bool threadSafe);
    ~CallMix();
    CallMix(const CallMix&) = delete;
    CallMix& operator=(const CallMix&) = delete;

    const std::vector<MixedCall>& Calls() const { return calls_; }
    // Disk output under a name of this thread's own (entry "thread-N.out").
    MixedCall DiskOutputFor(int thread) const;
    // Whether every file the mix made can be deleted now (no handle left
    // open on it); deletes them.
    bool RemoveFiles();
    // The digest of the results every call gives a host that frees what it gets.
    static std::uint64_t Digest(const void* bytes, std::size_t size, std::uint64_t seed = 1469598103934665603ull);

private:
    void Add(std::string what, std::function<CallOutcome()> call) { calls_.push_back({std::move(what), std::move(call)}); }

    // Images lie in memory of their own that ends where they end: what
    // follows a broken image cannot be read, rather than being whatever
    // another thread's heap blocks hold at the moment.
    Bytes archive_;
    Bytes brokenImage_;
    std::unique_ptr<GuardedMemory> imageMemory_;
    std::unique_ptr<GuardedMemory> brokenMemory_;
    HANDLE heldForWriting_ = INVALID_HANDLE_VALUE;
    std::vector<std::string> files_;
    std::vector<MixedCall> calls_;
};

}  // namespace axqvr::test
