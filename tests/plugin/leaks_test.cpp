// Ten thousand calls that succeed and fail in every way leave the heaps
// of the process as they found them, and no handle on the archive.
#include <cstdio>
#include <cstdlib>

#include "call_mix.h"
#include "heap_census.h"
#include "support.h"

namespace axqvr::test {
namespace {

constexpr std::size_t CallsToMake = 10000;

// The census sees a block the moment one is taken, from either heap:
// without this, a count that never moves would prove nothing.
TEST(HeapCensus, SeesEveryBlockTakenAndGivenBack) {
    const std::size_t before = LiveHeapBlocks();
    // Through a volatile pointer, so that the compiler keeps the allocation.
    void* volatile fromRuntime = std::malloc(40);
    HLOCAL local = LocalAlloc(LMEM_MOVEABLE | LMEM_ZEROINIT, 40);
    const std::size_t during = LiveHeapBlocks();
    std::free(fromRuntime);
    LocalFree(local);
    const std::size_t after = LiveHeapBlocks();
    EXPECT_GE(during, before + 2);
    EXPECT_EQ(after, before);
}

// A file someone holds open cannot be deleted, so a handle the plug-in
// left open would show.
TEST(HeapCensus, AnOpenHandleStopsDeletion) {
    WriteFileBytes("held-open.bin", Text("x"));
    HANDLE file = CreateFileA("held-open.bin", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(DeleteFileA("held-open.bin"));
    CloseHandle(file);
    EXPECT_TRUE(DeleteFileA("held-open.bin"));
}

TEST(Leaks, TenThousandMixedCallsLeaveNoBlockAndNoHandle) {
    CallMix mix(false);
    const auto& calls = mix.Calls();
    std::vector<CallOutcome> first;
    first.reserve(calls.size());
    // Whatever the system and the runtime set up once, on first use, is set up now.
    for (int round = 0; round < 2; ++round)
        for (const auto& c : calls) first.push_back(c.call());

    // Every failure code that can be provoked here is among the results.
    bool seen[7] = {};
    for (const auto& outcome : first)
        if (outcome.result >= 0 && outcome.result < 7) seen[outcome.result] = true;
    for (int code = 0; code < 7; ++code) {
        if (code == static_cast<int>(ResultCode::AllocFailed) && sizeof(void*) == 8) continue;
        EXPECT_TRUE(seen[code]) << "no call gave " << ::testing::PrintToString(static_cast<ResultCode>(code));
    }

    std::vector<CallOutcome> outcomes(calls.size());
    const std::size_t before = LiveHeapBlocks();
    std::size_t made = 0;
    while (made < CallsToMake) {
        for (std::size_t i = 0; i < calls.size() && made < CallsToMake; ++i, ++made) outcomes[i] = calls[i].call();
    }
    const std::size_t after = LiveHeapBlocks();
    for (std::size_t i = 0; i < calls.size(); ++i) EXPECT_EQ(outcomes[i], first[i]) << calls[i].what;

    EXPECT_EQ(after, before) << "live heap blocks before and after " << made << " calls";
    std::printf("[ figures  ] %u calls (%u kinds), live heap blocks %u before, %u after\n",
                static_cast<unsigned>(made), static_cast<unsigned>(calls.size()), static_cast<unsigned>(before),
                static_cast<unsigned>(after));
    RecordProperty("calls", static_cast<int>(made));
    RecordProperty("blocksBefore", static_cast<int>(before));
    RecordProperty("blocksAfter", static_cast<int>(after));
    EXPECT_TRUE(mix.RemoveFiles()) << "an archive file is still open";
}

}  // namespace
}  // namespace axqvr::test
