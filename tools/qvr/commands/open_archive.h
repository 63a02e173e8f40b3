// Opening the archive a command reads: the file (or standard input), its
// directory in memory or walked through a window, and the codec for its names.
#pragma once

#include <filesystem>
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
// directory takes few reads, small enough to stay in the processor's cache.
inline constexpr std::size_t WalkWindowSize = (std::size_t{128} << 10) + MaxEntrySize;

// An archive file whose directory is walked through a window, never held
// whole: for commands that pass it once or twice and keep little.
struct WalkedArchive {
    NameCodec codec;
    InputFile file;
    ArchiveHeader header;
    std::vector<std::uint8_t> window;  // one walk at a time reads into it

    // A walk from the first entry.
    WindowWalk Walk() { return WindowWalk(file, 0, window); }
    // The entry a walk met at directory offset `where`, read again from
    // the file (to choose it, or to name it in a message); nothing if it
    // is no longer there. Positional reads: threads may ask at once.
    std::optional<Entry> EntryAt(std::uint32_t index, std::uint64_t where);
};

// LoadArchive's checks and messages, with the directory walked through a
// window to guess the encoding and otherwise left unread.
std::optional<WalkedArchive> LoadArchiveHead(const std::filesystem::path& path, const std::string& encoding,
                                             Reporter& reporter, Talk talk = Talk::Normal);

}  // namespace qvr::cli
