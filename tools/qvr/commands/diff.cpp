// qvr diff: which entries differ from the files that extraction would have
// written (as tar -d does): each entry selected is placed as extract places
// it, under -C, and compared by presence, size and content, one line each.
#include <algorithm>
#include <array>

#include <fmt/format.h>

#include "commands/commands.h"
#include "commands/open_archive.h"
#include "commands/options.h"
#include "commands/progress.h"
#include "commands/report.h"
#include "names/names.h"
#include "names/placement.h"
#include "names/safe_path.h"
#include "qvr/scramble.h"
#include "names/selection.h"

namespace qvr::cli {
namespace {

namespace fs = std::filesystem;

enum class Sameness { Same, Missing, NotAFile, Size, Content, Unreadable, ArchiveCut };

// The entry's bytes against the file's, a piece at a time.
Sameness CompareContent(InputFile& archive, const Entry& entry, InputFile& file) {
    constexpr std::size_t Piece = std::size_t{1} << 16;
    std::vector<std::uint8_t> stored(Piece), onDisk(Piece);
    for (std::uint64_t at = 0; at < entry.dataSize;) {
        const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(Piece, entry.dataSize - at));
        const auto from = std::span(stored).first(want);
        if (archive.ReadAt(std::uint64_t{entry.dataOffset} + at, from) != want) return Sameness::ArchiveCut;
        if (file.ReadAt(at, std::span(onDisk).first(want)) != want) return Sameness::Content;  // shrank meanwhile
        for (std::uint64_t i = at; i < std::min<std::uint64_t>(at + want, ScrambledContentSize); ++i)
            from[static_cast<std::size_t>(i - at)] ^= ContentMask(static_cast<std::size_t>(i));
        if (!std::equal(from.begin(), from.end(), onDisk.begin())) return Sameness::Content;
        at += want;
    }
    return Sameness::Same;
}

Sameness Compare(InputFile& archive, const Entry& entry, const fs::path& path, std::uint64_t& diskSize) {
    std::error_code ec;
    const auto status = fs::status(path, ec);
    if (!fs::exists(status)) return Sameness::Missing;
    if (!fs::is_regular_file(status)) return Sameness::NotAFile;
    auto file = InputFile::Open(path);
    if (!file) return Sameness::Unreadable;
    diskSize = file->Size();
    if (diskSize != entry.dataSize) return Sameness::Size;
    return CompareContent(archive, entry, *file);
}

std::string Difference(Sameness sameness, const Entry& entry, std::uint64_t diskSize) {
    switch (sameness) {
    case Sameness::Missing:
        return "missing on disk";
    case Sameness::NotAFile:
        return "not a file on disk";
    case Sameness::Size:
        return fmt::format("size differs ({} in the archive, {} on disk)", Count(entry.dataSize, "byte", "bytes"),
                           Count(diskSize, "byte", "bytes"));
    case Sameness::Content:
        return "content differs";
    case Sameness::Same:
    case Sameness::Unreadable:
    case Sameness::ArchiveCut:
        break;
    }
    return {};
}

}  // namespace

Finish SetUpDiff(CLI::App& command, DiffOptions& options) {
    AddPositional(command, "ARCHIVE", options.archive, "The archive ('-': standard input)");
    AddSelection(command, options.select, "compare", " (default: all)");
    AddValue(command, "-C,--directory", options.directory, "Where the files are (default: the current folder)");
    AddCommon(command, options.common);
    SetFooter(command, R"(Examples:
  qvr diff data.qvr -C out                 after qvr extract data.qvr -C out
  qvr diff data.qvr 'sound\*.wav' && echo unchanged

Each entry selected (as extract selects) is compared with the file that
extract would have written for it under DIR: one line on standard output for
each that is missing, not a file, of another size or with other content.
Files on disk that no entry names are not looked at. Exit status 0 when
nothing differs, 1 when anything does or cannot be compared.)");
    return [&options](AfterDashes& rest) -> Done {
        if (auto archive = rest.Archive(options.archive); !archive) return archive;
        rest.AppendTo(options.select.names);
        return {};
    };
}

int Diff(const DiffOptions& options) {
    Reporter reporter(ArchiveLabel(options.archive));
    auto loaded = LoadArchive(options.archive, options.common.encoding, reporter, TalkOf(options.common.quiet));
    if (!loaded) return ExitBadUsage;
    const NameCodec& codec = loaded->codec;
    const auto& opened = loaded->opened;
    EntryFilter selection(options.select, codec);
    NameText names(codec);
    auto textOf = [&](const Entry& entry) { return names.Of(entry.NameBytes()); };
    Entry entry;
    std::vector<bool> may(opened.header.entryCount, true);
    std::uint32_t readable = 0;
    for (auto cursor = opened.Begin(); readable < opened.header.entryCount && ReadNextEntry(cursor, entry); ++readable)
        if (selection.NeedsNames()) may[readable] = selection.MaySelect(entry.index, textOf(entry));

    Placer placer(codec, opened.header.entryCount);
    std::uint64_t differ = 0;
    std::string out;
    auto cursor = opened.Begin();
    for (std::uint32_t i = 0; i < readable && ReadNextEntry(cursor, entry); ++i) {
        const auto name = textOf(entry);
        if (!may[i] || !selection.Selects(entry.index, name)) continue;
        const auto label = NameForMessage(entry.NameBytes(), codec);
        if (!names.Valid()) {
            reporter.EntryFailed(entry.index, label, "name is not valid " + codec.Name() + "; not compared");
            continue;
        }
        // Only what extract writes has a file to compare with: the first
        // entry of each path, and no refused name.
        const auto place = placer.Add(entry.index, name);
        if (place.outcome == Placing::Refused) {
            reporter.EntryFailed(entry.index, label, "name would be refused on extraction; not compared");
            continue;
        }
        if (place.outcome != Placing::Placed) continue;
        std::uint64_t diskSize = 0;
        const auto sameness = Compare(loaded->file, entry, options.directory / *SafeRelativePath(name, codec), diskSize);
        if (sameness == Sameness::Unreadable)
            reporter.EntryFailed(entry.index, label, "its file cannot be read; not compared");
        else if (sameness == Sameness::ArchiveCut)
            reporter.EntryFailed(entry.index, label, "data run past the end of the archive; not compared");
        else if (sameness != Sameness::Same) {
            ++differ;
            out += fmt::format("{}: {}\n", label, Difference(sameness, entry, diskSize));
        }
    }
    std::fputs(out.c_str(), stdout);
    std::fflush(stdout);
    for (const auto& miss : selection.Misses()) reporter.Failed(miss);
    if (const DirectoryWalk walk{opened.header.entryCount, readable}; !walk.Complete())
        reporter.Failed(fmt::format("damaged: {}; the rest are not compared", WhereDirectoryEnds(walk)));
    if (!options.common.quiet && StderrIsTerminal() && differ == 0 && !reporter.AnyFailed())
        reporter.Say("no differences");
    return differ > 0 || reporter.AnyFailed() ? ExitSomeFailed : ExitSuccess;
}

}  // namespace qvr::cli
