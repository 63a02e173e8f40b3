// Eight host threads calling all five exports at once, on the same archive
// file and the same image, get exactly what one thread gets alone.
#include <algorithm>
#include <atomic>
#include <cstdio>

#include "call_mix.h"
#include "support.h"

namespace axqvr::test {
namespace {

constexpr int ThreadCount = 8;
constexpr int Rounds = 12;

struct Worker {
    int index = 0;
    const std::vector<MixedCall>* calls = nullptr;
    const std::vector<CallOutcome>* expected = nullptr;
    MixedCall disk;
    CallOutcome diskExpected;
    HANDLE start = nullptr;
    std::size_t made = 0;
    std::vector<std::string> mismatches;  // written by this thread alone, read after it ends
};

DWORD WINAPI RunWorker(LPVOID argument) {
    auto& w = *static_cast<Worker*>(argument);
    WaitForSingleObject(w.start, INFINITE);
    const std::size_t n = w.calls->size();
    for (int round = 0; round < Rounds; ++round) {
        // Each thread walks the mix from its own place, so that different
        // exports overlap in every round.
        for (std::size_t k = 0; k < n; ++k) {
            const std::size_t i = (k + static_cast<std::size_t>(w.index) * n / ThreadCount + static_cast<std::size_t>(round)) % n;
            const CallOutcome got = (*w.calls)[i].call();
            ++w.made;
            if (!(got == (*w.expected)[i]))
                w.mismatches.push_back((*w.calls)[i].what + ": result " + std::to_string(got.result) +
                                       " instead of " + std::to_string((*w.expected)[i].result));
        }
        const CallOutcome got = w.disk.call();
        ++w.made;
        if (!(got == w.diskExpected)) w.mismatches.push_back(w.disk.what + ": result " + std::to_string(got.result));
    }
    return 0;
}

TEST(Threads, EightThreadsAtOnceGetTheSingleThreadResults) {
    if (sizeof(void*) == 4)
        GTEST_SKIP() << "threads run under 64-bit Wine only: 32-bit Wine under qemu user emulation fails as soon "
                        "as a second thread runs, whatever the plug-in does";
    CallMix mix(true);
    const auto& calls = mix.Calls();
    std::vector<CallOutcome> expected;
    for (const auto& c : calls) expected.push_back(c.call());

    HANDLE start = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(start, nullptr);
    std::vector<Worker> workers(ThreadCount);
    std::vector<HANDLE> threads;
    for (int t = 0; t < ThreadCount; ++t) {
        Worker& w = workers[static_cast<std::size_t>(t)];
        w.index = t;
        w.calls = &calls;
        w.expected = &expected;
        w.disk = mix.DiskOutputFor(t);
        w.diskExpected = w.disk.call();
        ASSERT_EQ(w.diskExpected.result, 0) << w.disk.what;
        w.start = start;
        HANDLE thread = CreateThread(nullptr, 0, RunWorker, &w, 0, nullptr);
        ASSERT_NE(thread, nullptr);
        threads.push_back(thread);
    }
    SetEvent(start);
    EXPECT_EQ(WaitForMultipleObjects(static_cast<DWORD>(threads.size()), threads.data(), TRUE, 120000),
              WAIT_OBJECT_0);
    for (HANDLE thread : threads) CloseHandle(thread);
    CloseHandle(start);

    std::size_t made = 0;
    for (const Worker& w : workers) {
        made += w.made;
        for (const auto& m : w.mismatches) ADD_FAILURE() << "thread " << w.index << ": " << m;
    }
    EXPECT_GE(made, 3000u);
    std::printf("[ figures  ] %d threads, %u calls at once, %u kinds\n", ThreadCount, static_cast<unsigned>(made),
                static_cast<unsigned>(calls.size() + 1));
    RecordProperty("calls", static_cast<int>(made));
    for (int t = 0; t < ThreadCount; ++t) RemoveFile("thread-" + std::to_string(t) + ".out");
    EXPECT_TRUE(mix.RemoveFiles()) << "an archive file is still open";
}

}  // namespace
}  // namespace axqvr::test
