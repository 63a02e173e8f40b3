// qvr test: checks the whole structure (structure.h) and every name as
// extraction would place it, and names every problem with the entry's index.
#include <fmt/format.h>

#include "commands/commands.h"
#include "commands/open_archive.h"
#include "commands/options.h"
#include "commands/progress.h"
#include "commands/report.h"
#include "names/names.h"
#include "names/placement.h"
#include "commands/structure.h"

namespace qvr::cli {

Finish SetUpTest(CLI::App& command, TestOptions& options) {
    AddPositional(command, "ARCHIVE", options.archive, "The archive ('-': standard input)");
    AddCommon(command, options.common);
    SetFooter(command, R"(Examples:
  qvr test data.qvr && echo sound

Checks the header, the directory's extent, that every entry's data lie inside
the file without overlapping the directory or each other, and that every entry
would be extracted: names accepted, none repeated, none both a file and a
folder. Exit status 0 when the archive is sound; whenever extracting it into an
empty folder would fail, test fails too.)");
    return [&options](AfterDashes& rest) -> Done {
        if (auto archive = rest.Archive(options.archive); !archive) return archive;
        if (!rest.Empty()) return Fail("takes one archive (qvr test --help)");
        return {};
    };
}

int Test(const TestOptions& options) {
    Reporter reporter(ArchiveLabel(options.archive));
    // The directory is walked through a window, never held whole: three
    // walks through a window that stays in the cache cost less than the
    // new pages a directory of 65535 entries would take.
    auto loaded = LoadArchiveHead(options.archive, options.common.encoding, reporter, TalkOf(options.common.quiet));
    if (!loaded) return ExitBadUsage;
    const NameCodec* codec = &loaded->codec;
    const std::uint32_t count = loaded->header.entryCount;

    for (const auto& problem : StructureProblems(*loaded)) reporter.Failed(problem);

    Placer placer(*codec, count);
    PlacementReport placement(PlacementWords::Test);
    NameText names(*codec);
    auto walk = loaded->Walk();
    Entry entry;
    // An entry that runs past the directory's end is reported above.
    for (std::uint32_t walked = 0; walked < count && walk.Next(entry); ++walked) {
        // An entry is named only when it is reported: most are not.
        const auto label = [&] { return NameForMessage(entry.NameBytes(), *codec); };
        const auto text = names.Of(entry.NameBytes());
        if (!names.Valid()) {
            reporter.EntryFailed(entry.index, label(), "name is not valid " + codec->Name());
            continue;
        }
        // Judged as extraction places names, so that test fails wherever
        // extracting into an empty folder would.
        const auto place = placer.Add(entry.index, text);
        if (place.outcome == Placing::Placed) continue;
        const auto name = label();
        if (const auto problem = placement.Problem(entry.index, name, place); !problem.empty())
            reporter.EntryFailed(entry.index, name, problem);
    }
    if (const auto repeats = placement.Repeats(); !repeats.empty()) reporter.Failed(repeats);

    if (reporter.AnyFailed()) {
        if (!options.common.quiet)
            std::fputs(fmt::format("{}: {}, {}\n", ArchiveLabel(options.archive), Count(count, "entry", "entries"),
                                   Count(reporter.Failures(), "problem", "problems"))
                           .c_str(),
                       stdout);
        return ExitSomeFailed;
    }
    if (!options.common.quiet)
        std::fputs(fmt::format("{}: {}, sound\n", ArchiveLabel(options.archive), Count(count, "entry", "entries")).c_str(),
                   stdout);
    return ExitSuccess;
}

}  // namespace qvr::cli
