// Opening the archive a command reads: the file (or standard input), its
// directory in memory or walked through a window, and the codec for its names.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "commands/report.h"
#include "names/codec.h"
#include "platform/platform.h"
#include "qvr/archive.h"

namespace qvr::cli {

// An archive file, opened with its directory in memory, and the codec for
// its names.
struct LoadedArchive {
    NameCodec codec;
    InputFile file;
    OpenedArchive opened;
};

// Makes the codec for `encoding` (checked first: a bad option is reported
// before any file is touched), then opens the archive ("-": standard input,
// spooled first, since entries are read at their offsets); on failure says
// why through `reporter` and gives nullopt. Without an encoding the names
// choose it: UTF-8 or CP932 when every name reads so, otherwise they pass
// through as bytes (said under -v; where some names look like CP932 and the
// rest cannot, a hint, unless quiet).
// `opened`: the archive's file, already open (a change opens it its own way).
std::optional<LoadedArchive> LoadArchive(const std::filesystem::path& path, const std::string& encoding,
                                         Reporter& reporter, Talk talk = Talk::Normal,
                                         std::optional<InputFile> opened = std::nullopt);

// The window a command walks a directory through: large enough that a
// directory takes few reads, small enough to stay in the processor's cache,
// and under the C library's threshold (128 KiB) for mapping an allocation
// of its own, which a short run would pay to map and unmap.
inline constexpr std::size_t WalkWindowSize = (std::size_t{120} << 10) + MaxEntrySize;
// What a walk reads first. Most archives' directories are a few kilobytes:
// reading the whole window's worth would copy (and fault in) 120 KiB of
// entry data no walk looks at, on every open. A larger directory costs one
// read more.
inline constexpr std::size_t FirstWalkRead = std::size_t{16} << 10;

// An archive file whose directory is walked through a window, never held
// whole: for commands that pass it once or twice and keep little.
struct WalkedArchive {
    NameCodec codec;
    InputFile file;
    ArchiveHeader header;
    // One walk at a time reads into it. Not cleared: reads fill what is
    // used, and a small directory leaves the rest untouched.
    std::unique_ptr<std::uint8_t[]> window{new std::uint8_t[WalkWindowSize]};

    std::span<std::uint8_t> Window() { return {window.get(), WalkWindowSize}; }
    // A walk from the first entry.
    WindowWalk Walk() { return WindowWalk(file, 0, Window(), FirstWalkRead); }
    // The entry a walk met at directory offset `where`, read again from
    // the file (to choose it, or to name it in a message); nothing if it
    // is no longer there. Positional reads: threads may ask at once.
    std::optional<Entry> EntryAt(std::uint32_t index, std::uint64_t where);
};

// LoadArchive's checks and messages, with the directory walked through a
// window to guess the encoding and otherwise left unread. `guess` false:
// the caller's own walk guesses (ChooseEncoding), the codec passing names
// through until then.
std::optional<WalkedArchive> LoadArchiveHead(const std::filesystem::path& path, const std::string& encoding,
                                             Reporter& reporter, Talk talk = Talk::Normal, bool guess = true);

// The codec the names' guess chooses, said as LoadArchive says it (under
// -v, or a hint); true when it is not the one that passes names through,
// so that names read before it read otherwise now.
bool ChooseEncoding(const NameEncodingGuess& guess, NameCodec& codec, Reporter& reporter, Talk talk);

}  // namespace qvr::cli
