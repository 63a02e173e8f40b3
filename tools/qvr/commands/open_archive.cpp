#include "commands/open_archive.h"

#include <algorithm>
#include <array>

#include <fmt/core.h>

namespace qvr::cli {
namespace {

// Says why an archive cannot be opened; false when it can.
bool CannotOpen(OpenStatus status, Reporter& reporter) {
    switch (status) {
    case OpenStatus::Success:
        return false;
    case OpenStatus::UnrecognisedFormat:
        reporter.Say("not a QVR archive");
        break;
    case OpenStatus::DamagedDirectory:
        reporter.Say("damaged: its directory cannot be read (first data offset below the header's end)");
        break;
    case OpenStatus::OutOfMemory:
        reporter.Say("its directory cannot be read: not enough memory");
        break;
    }
    return true;
}

struct CodecAndFile {
    NameCodec codec;
    InputFile file;
};

// The codec for `encoding`, then the archive's file; nullopt with why said.
std::optional<CodecAndFile> OpenCodecAndFile(const std::filesystem::path& path, const std::string& encoding,
                                             Reporter& reporter, std::optional<InputFile> opened) {
    auto codec = NameCodec::Make(encoding);
    if (!codec) {
        reporter.Say(codec.error());
        return std::nullopt;
    }
    auto file = opened       ? Result<InputFile>(std::move(*opened))
                : path == "-" ? InputFile::SpoolStandardInput()
                              : InputFile::Open(path);
    if (!file) {
        reporter.Say((path == "-" ? "cannot read standard input: " : "cannot open: ") + file.error());
        return std::nullopt;
    }
    return CodecAndFile{std::move(*codec), std::move(*file)};
}

}  // namespace

// Without --encoding the names decide, by the rule in qvr/name_encoding.h,
// which lives in the format library so that the viewer, which reads names
// the same way, can share it. It looks at every name, not a sample: one odd
// name past a sample would be read wrongly by every command.
bool ChooseEncoding(const NameEncodingGuess& guess, NameCodec& codec, Reporter& reporter, Talk talk) {
    std::string chosen(EncodingName(guess.Result()));
    if (!chosen.empty()) {
        if (auto made = NameCodec::Make(chosen)) codec = std::move(*made);
        else chosen.clear();  // a converter without it: the bytes as they are
    }
    if (talk == Talk::Verbose)
        reporter.Say(chosen.empty() ? "names read as they are stored (plain ASCII, or neither all UTF-8 nor all "
                                      "CP932; --encoding chooses)"
                                    : fmt::format("names read as {}, guessed from them (--encoding overrides)", chosen));
    else if (chosen.empty() && guess.SomeLookLikeCp932() && talk == Talk::Normal)
        reporter.Say("some names look like CP932 and others do not; --encoding CP932 reads the first kind");
    return !chosen.empty();
}

std::optional<LoadedArchive> LoadArchive(const std::filesystem::path& path, const std::string& encoding,
                                         Reporter& reporter, Talk talk, std::optional<InputFile> opened) {
    auto codecAndFile = OpenCodecAndFile(path, encoding, reporter, std::move(opened));
    if (!codecAndFile) return std::nullopt;
    LoadedArchive loaded{std::move(codecAndFile->codec), std::move(codecAndFile->file), {}};
    if (CannotOpen(OpenArchiveFile(loaded.file, 0, loaded.opened), reporter)) return std::nullopt;
    if (encoding.empty()) ChooseEncoding(GuessNameEncoding(loaded.opened), loaded.codec, reporter, talk);
    return loaded;
}

std::optional<WalkedArchive> LoadArchiveHead(const std::filesystem::path& path, const std::string& encoding,
                                             Reporter& reporter, Talk talk, bool guess) {
    auto codecAndFile = OpenCodecAndFile(path, encoding, reporter, std::nullopt);
    if (!codecAndFile) return std::nullopt;
    WalkedArchive loaded{std::move(codecAndFile->codec), std::move(codecAndFile->file), {}};
    auto walk = loaded.Walk();
    if (CannotOpen(walk.Status(), reporter)) return std::nullopt;
    loaded.header = walk.Header();
    if (encoding.empty() && guess) ChooseEncoding(GuessNameEncoding(walk), loaded.codec, reporter, talk);
    return loaded;
}

std::optional<Entry> WalkedArchive::EntryAt(std::uint32_t index, std::uint64_t where) {
    // A walk met the whole entry here, so its own length bounds what is
    // read of these bytes.
    std::array<std::uint8_t, MaxEntrySize> bytes;
    const std::size_t got = std::min(file.ReadAt(HeaderSize + where, bytes), bytes.size());
    DirectoryCursor cursor{std::span<const std::uint8_t>(bytes).first(got), 0, index};
    Entry entry;
    if (!ReadNextEntry(cursor, entry)) return std::nullopt;
    return entry;
}

}  // namespace qvr::cli
