// The registry of temporary outputs the interrupt handler empties: it holds
// as many as every worker has open at once, and removes each one.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <iterator>
#include <set>
#include <vector>

#include "platform/temp_registry.h"
#include "tool_test_support.h"

namespace qvr::tooltest {
namespace {

using cli::TempPlace;

class TempRegistry : public Scratch {
protected:
    // A file in the scratch folder, registered as a temporary output.
    int Register(int folder, const std::string& name) {
        const int fd = openat(folder, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        EXPECT_GE(fd, 0) << name;
        close(fd);
        TempPlace place;
        place.folder = folder;
        std::snprintf(place.name, sizeof place.name, "%s", name.c_str());
        return cli::ClaimSlot(place);
    }
    std::size_t Count() const {
        return static_cast<std::size_t>(std::distance(fs::directory_iterator(dir), fs::directory_iterator()));
    }
};

// Far more than 64 workers and the first chunk's 128 slots: all are held
// and all are removed.
TEST_F(TempRegistry, HoldsAndRemovesEveryOutputOpenAtOnce) {
    const int folder = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(folder, 0);
    std::vector<int> slots;
    for (int i = 0; i < 300; ++i) slots.push_back(Register(folder, "out-" + std::to_string(i)));
    for (const int slot : slots) EXPECT_GE(slot, 0);
    EXPECT_EQ(std::set<int>(slots.begin(), slots.end()).size(), slots.size());
    ASSERT_EQ(Count(), 300u);
    cli::RemoveRegisteredTemporaries();
    EXPECT_EQ(Count(), 0u);
    for (const int slot : slots) cli::FreeSlot(slot);
    close(folder);
}

// A freed slot is not removed again, and is used again before the registry grows.
TEST_F(TempRegistry, FreedSlotsAreLeftAloneAndReused) {
    const int folder = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(folder, 0);
    const int kept = Register(folder, "committed");
    cli::FreeSlot(kept);
    const int live = Register(folder, "partial");
    EXPECT_EQ(live, kept);
    cli::RemoveRegisteredTemporaries();
    EXPECT_TRUE(fs::exists(dir / "committed"));
    EXPECT_FALSE(fs::exists(dir / "partial"));
    cli::FreeSlot(live);
    close(folder);
}

// A place that does not fit is not registered rather than cut short.
TEST_F(TempRegistry, AnEmptyPlaceIsNotRegistered) { EXPECT_EQ(cli::ClaimSlot(TempPlace{}), -1); }

}  // namespace
}  // namespace qvr::tooltest
