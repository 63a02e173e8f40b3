// Opening the archive a command reads: the file (or standard input), its
// directory in memory, and the codec for its names.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

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

}  // namespace qvr::cli
