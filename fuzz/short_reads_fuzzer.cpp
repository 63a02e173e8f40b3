// A file whose reads come back short, or fail for want of memory, wherever
// the input says. The opener may
// use only bytes a read delivered, never asks for a byte before the archive,
// and its walk stays inside the directory and gives a prefix of what the
// whole file gives. Reading one entry in pieces follows the same rules: what
// it finds is what the whole file holds at that index.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <new>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#include <sanitizer/asan_interface.h>
#define QVR_FUZZ_POISON 1
#endif
#endif

#include "fuzz_input.h"
#include "qvr/archive.h"

namespace {

class ChoppySource final : public qvr::ByteSource {
public:
    explicit ChoppySource(const qvr::fuzz::ShortReadInput& in) : in_(in), whole_(in.file) {}
    std::size_t ReadAt(std::uint64_t offset, std::span<std::uint8_t> into) override {
        if (offset < in_.archiveOffset) std::abort();
        Reveal(into);  // a reader may read again into what an earlier short read left undelivered
        if (reads_ == in_.cuts.size() && in_.outOfMemoryAfterCuts) throw std::bad_alloc();
        std::size_t n = whole_.ReadAt(offset, into);
        if (reads_ < in_.cuts.size()) n = n * in_.cuts[reads_] / 255;
        ++reads_;
        Hide(into.subspan(n));
        return n;
    }

private:
    // Bytes a read did not deliver: under AddressSanitizer any touch of them
    // is reported where it happens; elsewhere they hold the inverse of the
    // truth, which the comparison with the file then shows.
    static void Reveal([[maybe_unused]] std::span<std::uint8_t> into) {
#ifdef QVR_FUZZ_POISON
        __asan_unpoison_memory_region(into.data(), into.size());
#endif
    }
    static void Hide(std::span<std::uint8_t> undelivered) {
#ifdef QVR_FUZZ_POISON
        __asan_poison_memory_region(undelivered.data(), undelivered.size());
#else
        for (auto& b : undelivered) b = static_cast<std::uint8_t>(~b);
#endif
    }

    qvr::fuzz::ShortReadInput in_;
    qvr::SpanByteSource whole_;
    std::size_t reads_ = 0;
};

// ReadEntryAt over a fresh choppy source: any entry it gives is the one the
// whole file holds at that index.
void ReadOneEntry(const qvr::fuzz::ShortReadInput& in, const qvr::OpenedArchive& full, bool fullOpened) {
    ChoppySource choppy(in);
    std::optional<qvr::Entry> one;
    try {
        if (qvr::ReadEntryAt(choppy, in.archiveOffset, in.index, one) != qvr::OpenStatus::Success || !one) return;
    } catch (const std::bad_alloc&) {
        return;
    }
    auto cursor = full.Begin();
    qvr::Entry expected;
    if (!fullOpened || in.index >= full.header.entryCount || !qvr::SkipEntries(cursor, in.index) ||
        !qvr::ReadNextEntry(cursor, expected) || one->name != expected.name || one->dataSize != expected.dataSize ||
        one->dataOffset != expected.dataOffset || one->index != in.index)
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto in = qvr::fuzz::DecodeShortReads({data, size});
    qvr::fuzz::Bytes stretched;
    if (in.stretch) {
        stretched = qvr::fuzz::Stretched(in.file, in.archiveOffset);
        in.file = stretched;
    }
    const std::unique_ptr<qvr::ByteSource> choppy = std::make_unique<ChoppySource>(in);
    qvr::OpenedArchive cut, full;
    const bool fullOpened = qvr::OpenArchiveView(in.file, in.archiveOffset, full) == qvr::OpenStatus::Success;
    ReadOneEntry(in, full, fullOpened);
    try {
        // Out of memory while reading the directory is MemoryError; while
        // reading the head block it may leave the opener as it came.
        if (qvr::OpenArchiveFile(*choppy, in.archiveOffset, cut) != qvr::OpenStatus::Success) return 0;
    } catch (const std::bad_alloc&) {
        if (!in.cuts.empty()) std::abort();
        return 0;
    }
    const auto truth = in.file.subspan(static_cast<std::size_t>(in.archiveOffset) + qvr::HeaderSize);
    if ((fullOpened && full.header.entryCount != cut.header.entryCount) || cut.directory.size() > truth.size() ||
        !std::equal(cut.directory.begin(), cut.directory.end(), truth.begin()))
        std::abort();
    auto cursor = cut.Begin(), fullCursor = full.Begin();
    for (std::uint32_t i = 0; i < cut.header.entryCount; ++i) {
        qvr::Entry entry, expected;
        if (!qvr::ReadNextEntry(cursor, entry)) break;
        if (cursor.offset > cut.directory.size() || !fullOpened || !qvr::ReadNextEntry(fullCursor, expected) ||
            entry.name != expected.name || entry.dataSize != expected.dataSize ||
            entry.dataOffset != expected.dataOffset || entry.index != expected.index)
            std::abort();
    }
    return 0;
}
