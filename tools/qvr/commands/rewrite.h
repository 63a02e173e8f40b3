// Changing an archive (add, delete and rename): the new archive is written beside the old one and
// replaces it in one step only when complete, so that a kill, a full disk
// or a read error leaves the old archive exactly as it was.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <vector>

#include "commands/commands.h"
#include "commands/open_archive.h"
#include "commands/report.h"

namespace qvr::cli {

// One entry of the changed archive: kept from the old archive (its stored
// data copied as they are), or packed from a file.
struct NewEntry {
    Bytes name;  // as stored, plain
    std::uint64_t size = 0;
    std::optional<std::uint32_t> kept;  // where its data lie in the old archive
    std::filesystem::path source;       // when not kept: the file it is packed from
    FileIdentity identity{};            // ... as it was gathered
};

// An archive loaded for a change, with the hold on its file: locked
// against other changes until it is replaced or given up.
struct ChangingArchive : LoadedArchive {
    ChangingArchive(LoadedArchive loaded, ChangeTarget held)
        : LoadedArchive(std::move(loaded)), target(std::move(held)) {}
    ChangeTarget target;
};

// Opens an archive file for a change, waiting for another change of it to
// finish first (said once on a terminal) unless `change.noWait`. A stream,
// an unreadable, read-only, busy or hard-linked archive or a damaged one
// (each reason as test gives it) is refused, said, with the exit status the
// command ends with; nothing is written.
Step<ChangingArchive> LoadForChange(const std::filesystem::path& archive, const CommonOptions& common,
                                    const ChangeOptions& change, Reporter& reporter);

// Every entry of the old archive, in directory order, kept as it is.
std::vector<NewEntry> KeptEntries(const LoadedArchive& old);

// Writes `entries` in this order as the new archive and puts it in place of
// the old one: private until complete, with the old archive's owner and
// permissions, on disk before it takes the name, and only while the name
// still leads to the archive that was loaded. False when it failed (said,
// and the old archive untouched); `old` is closed either way. With `echo`,
// each entry packed from a file is named as it is written (-v).
bool ReplaceArchive(ChangingArchive& old, const std::vector<NewEntry>& entries, Reporter& reporter,
                    bool echo = false, bool followLinks = true);

// Entries the change makes or renames (`fresh`) must land where extraction
// can write them beside everything else: no file where another entry needs
// a folder, or the reverse. Entries already in the archive are not judged.
// False when any does not (each said).
bool ChecksPlacement(const std::vector<NewEntry>& entries, const std::vector<bool>& fresh, const NameCodec& codec,
                     Reporter& reporter);

}  // namespace qvr::cli
