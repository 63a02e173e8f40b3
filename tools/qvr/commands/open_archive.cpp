#include "commands/open_archive.h"

#include <fmt/core.h>

namespace qvr::cli {
namespace {

// Without --encoding the names decide, by the rule in qvr/name_encoding.h,
// which lives in the format library so that the viewer, which reads names
// the same way, can share it. It looks at every name, not a sample: the
// names are in memory already, and one odd name past a sample would be
// read wrongly by every command.
void ChooseEncoding(LoadedArchive& loaded, Reporter& reporter, Talk talk) {
    const auto guess = GuessNameEncoding(loaded.opened);
    std::string chosen(EncodingName(guess.Result()));
    if (!chosen.empty()) {
        if (auto codec = NameCodec::Make(chosen)) loaded.codec = std::move(*codec);
        else chosen.clear();  // a converter without it: the bytes as they are
    }
    if (talk == Talk::Verbose)
        reporter.Say(chosen.empty() ? "names read as they are stored (plain ASCII, or neither all UTF-8 nor all "
                                      "CP932; --encoding chooses)"
                                    : fmt::format("names read as {}, guessed from them (--encoding overrides)", chosen));
    else if (chosen.empty() && guess.SomeLookLikeCp932() && talk == Talk::Normal)
        reporter.Say("some names look like CP932 and others do not; --encoding CP932 reads the first kind");
}

}  // namespace

std::optional<LoadedArchive> LoadArchive(const std::filesystem::path& path, const std::string& encoding,
                                         Reporter& reporter, Talk talk, std::optional<InputFile> opened) {
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
    LoadedArchive loaded{std::move(*codec), std::move(*file), {}};
    switch (OpenArchiveFile(loaded.file, 0, loaded.opened)) {
    case OpenStatus::Success:
        if (encoding.empty()) ChooseEncoding(loaded, reporter, talk);
        return loaded;
    case OpenStatus::UnrecognisedFormat:
        reporter.Say("not a QVR archive");
        return std::nullopt;
    case OpenStatus::DamagedDirectory:
        reporter.Say("damaged: its directory cannot be read (first data offset below the header's end)");
        return std::nullopt;
    case OpenStatus::OutOfMemory:
        reporter.Say("its directory cannot be read: not enough memory");
        return std::nullopt;
    }
    return std::nullopt;
}

}  // namespace qvr::cli
