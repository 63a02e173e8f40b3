// What every system does alike for temporary outputs: the registry the
// interrupt handler empties, their names, and their bookkeeping. Only the
// system calls are in posix.cpp and win32.cpp.
#include <array>
#include <atomic>
#include <cstdio>

#include "platform/temp_registry.h"

namespace qvr::cli {
namespace {

constexpr std::size_t CopyBuffer = std::size_t{1} << 20;

// A slot is claimed with a compare-exchange and filled before it is marked
// live; the handler reads only live slots' plain bytes.
struct TempSlot {
    std::atomic<int> state{0};  // 0 free, 1 filling, 2 live
    TempPlace place;
};

// Slots come in chunks linked once and never freed, so the handler can walk
// them at any moment; a new chunk is added only when every slot is taken.
constexpr int ChunkSlots = 128;
struct SlotChunk {
    std::array<TempSlot, ChunkSlots> slots;
    std::atomic<SlotChunk*> next{nullptr};
};
SlotChunk firstChunk;

static_assert(std::atomic<SlotChunk*>::is_always_lock_free, "the interrupt handler walks the chunks");
static_assert(std::atomic<int>::is_always_lock_free, "the interrupt handler reads slot states");

SlotChunk& NextChunk(SlotChunk& chunk) {
    if (SlotChunk* next = chunk.next.load()) return *next;
    auto* fresh = new SlotChunk;
    SlotChunk* expected = nullptr;
    if (chunk.next.compare_exchange_strong(expected, fresh)) return *fresh;
    delete fresh;  // another thread linked one first
    return *expected;
}

TempSlot& SlotAt(int slot) {
    SlotChunk* chunk = &firstChunk;
    for (int i = slot / ChunkSlots; i > 0; --i) chunk = chunk->next.load();
    return chunk->slots[static_cast<std::size_t>(slot % ChunkSlots)];
}

}  // namespace

int ClaimSlot(const TempPlace& place) {
    if (place.Empty()) return -1;
    int base = 0;
    for (SlotChunk* chunk = &firstChunk;; chunk = &NextChunk(*chunk), base += ChunkSlots) {
        for (int i = 0; i < ChunkSlots; ++i) {
            auto& s = chunk->slots[static_cast<std::size_t>(i)];
            int expected = 0;
            if (s.state.compare_exchange_strong(expected, 1)) {
                s.place = place;
                s.state.store(2);
                return base + i;
            }
        }
    }
}

void FreeSlot(int slot) noexcept {
    if (slot >= 0) SlotAt(slot).state.store(0);
}

void RemoveRegisteredTemporaries() noexcept {
    for (SlotChunk* chunk = &firstChunk; chunk; chunk = chunk->next.load())
        for (auto& s : chunk->slots)
            if (s.state.load() == 2) RemoveTemporary(s.place);
}

std::string TemporaryName() {
    static std::atomic<unsigned> counter{0};
    // Asked once: extracting many small files makes a name per file.
    static const long pid = ProcessId();
    char name[64];
    std::snprintf(name, sizeof name, ".qvr-%ld-%u.part", pid, counter.fetch_add(1));
    return name;
}

std::vector<std::uint8_t>& ThreadBuffer(std::size_t size) {
    thread_local std::vector<std::uint8_t> buffer;
    if (buffer.size() < size) buffer.resize(size);
    return buffer;
}

Result<std::uint64_t> SpoolStandardInputTo(NativeHandle spool) {
    auto& buffer = ThreadBuffer(CopyBuffer);
    const auto whole = std::span(buffer).first(CopyBuffer);
    std::uint64_t total = 0;
    for (;;) {
        const auto got = ReadStandardInput(whole);
        if (!got) return got.failure();
        if (*got == 0) return total;
        if (const auto written = WriteAll(spool, whole.first(*got)); !written)
            return Fail("cannot keep it in a temporary file: " + written.error());
        total += *got;
    }
}

TempOutput::TempOutput(Folder folder, File file, std::string name, int slot) noexcept
    : folder_(std::move(folder)), file_(std::move(file)), name_(std::move(name)), slot_(slot) {}

TempOutput::TempOutput(TempOutput&& other) noexcept
    : folder_(std::move(other.folder_)), file_(std::move(other.file_)), name_(std::move(other.name_)),
      slot_(other.slot_), open_(other.open_), mode_(other.mode_),
      usualBits_(other.usualBits_) {
    other.open_ = false;
    other.slot_ = -1;
}

TempOutput::~TempOutput() { Discard(); }

void TempOutput::Discard() noexcept {
    if (!open_) return;
    open_ = false;
    file_ = File();
    RemoveName();
    Settle();
}

void TempOutput::Settle() noexcept {
    open_ = false;
    FreeSlot(slot_);
    slot_ = -1;
}

Result<TempOutput> Folder::CreateNamedTemp() const {
    std::string why;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string name = TemporaryName();
        // The name is registered for removal before the file exists, so an
        // interrupt between the two cannot leave it behind.
        const int slot = ClaimSlot(PlaceOf(name));
        bool taken = false;
        File f = CreateNew(name, taken);
        if (f.Valid()) return TempOutput(*this, std::move(f), name, slot);
        why = LastSystemError();
        FreeSlot(slot);
        if (!taken) break;
    }
    return Fail("cannot create a file in " + path_.string() + ": " + why);
}

}  // namespace qvr::cli
