// Walking the directory of an archive that lies in a byte source through
// one small window that is reused: memory stays the window's whatever the
// directory's size, and the directory is read only as far as the walk goes.
// The entries and where the walk stops are those of OpenArchiveFile and a
// cursor walk over its buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>

#include "qvr/directory.h"
#include "qvr/open.h"

namespace qvr {

class WindowWalk {
public:
    // The window must hold the longest entry and more: it is filled in
    // pieces of its size less MaxEntrySize, which is what each read asks,
    // and the first piece must hold the head block.
    static constexpr std::size_t MinWindow = HeadBlockSize + MaxEntrySize;

    // Reads the head at `archiveOffset` and the start of the directory in
    // one read. `window` is the caller's and is used until the walk ends.
    // `firstRead` bounds that first read (never below HeadBlockSize): where
    // reads are cheap and the window's untouched pages cost nothing, a small
    // first read lets a small directory cost only its own bytes, and a large
    // one is read on by the next refill as usual.
    WindowWalk(ByteSource& source, std::uint64_t archiveOffset, std::span<std::uint8_t> window,
               std::size_t firstRead = SIZE_MAX);

    // What OpenArchiveFile would say of the same bytes.
    OpenStatus Status() const noexcept { return status_; }
    const ArchiveHeader& Header() const noexcept { return header_; }
    // How many bytes the directory may take: up to the first entry's data,
    // or to the end of the file where that comes first.
    std::uint64_t DirectoryExtent() const noexcept { return extent_; }

    // The entry under the walk, still scrambled, with the walk left on it.
    // Nothing when it would run past the directory's end. The view lasts
    // until the walk moves. Inline with Pass: a walk asks both once an entry.
    std::optional<DirectoryEntry> Peek() {
        if (auto entry = PeekEntry(cursor_)) {
            peeked_ = EntrySize(entry->nameLength);
            return entry;
        }
        return PeekAfterRefills();
    }
    // Passes the entry under the walk without decoding it; false as Skip.
    bool Pass() {
        if (peeked_ == 0) return Skip(1);
        cursor_.offset += std::exchange(peeked_, 0);
        ++cursor_.index;
        return true;
    }
    // Decodes the entry under the walk and passes it; ReadNextEntry's rule.
    bool Next(Entry& out);
    // Passes `count` entries without decoding their names; false where one
    // would run past the directory's end, the walk then standing on it.
    bool Skip(std::uint32_t count);

    // Directory offset and index of the entry under the walk.
    std::uint64_t Offset() const noexcept { return windowStart_ + cursor_.offset; }
    std::uint32_t Index() const noexcept { return cursor_.index; }

private:
    // Moves what is left of the window to its front and reads on; false
    // when the directory has no more bytes.
    bool Refill();
    // Peek where the window does not hold the whole entry.
    std::optional<DirectoryEntry> PeekAfterRefills();

    ByteSource& source_;
    std::uint64_t directoryAt_ = 0;  // where byte 0 of the directory lies in the source
    std::span<std::uint8_t> window_;
    OpenStatus status_ = OpenStatus::Success;
    ArchiveHeader header_;
    std::uint64_t extent_ = 0;       // bytes the directory may have
    std::uint64_t windowStart_ = 0;  // directory offset of the window's first byte
    DirectoryCursor cursor_;         // over the bytes the window holds
    bool ended_ = false;             // a read came up short: the directory ends where the window does
    std::size_t peeked_ = 0;         // the size of the entry Peek gave, while the walk stands on it
};

}  // namespace qvr
