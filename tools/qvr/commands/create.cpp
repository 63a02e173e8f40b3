// qvr create: gathers the inputs in a stable order, checks that every name
// comes back out of the archive as the path it came from, lays the archive
// out before writing a byte (so every limit is checked up front), then
// streams header, directory and data into a temporary file renamed into
// place, or to standard output.
#include <fmt/format.h>

#include "commands/commands.h"
#include "commands/open_archive.h"
#include "commands/options.h"
#include "commands/progress.h"
#include "commands/report.h"
#include "commands/pack.h"

namespace qvr::cli {
namespace {

namespace fs = std::filesystem;
// The format's limits (CheckLayout), told with the offending file named;
// the writer's layout stays the final word.
bool CheckLimits(const std::vector<Input>& inputs, std::span<const EntrySpec> specs, Reporter& reporter) {
    const LayoutCheck check = CheckLayout(specs);
    const auto source = [&] { return ShownPath(inputs[check.entry].Source()); };
    switch (check.refusal) {
    case LayoutRefusal::None:
        return true;
    case LayoutRefusal::TooManyEntries:
        reporter.Failed(fmt::format("{} files: an archive holds at most {} entries; nothing written", inputs.size(),
                                    MaxEntryCount));
        return false;
    case LayoutRefusal::NameTooLong:
        reporter.Failed(fmt::format("{}: its name is {} bytes long, and at most {} fit; nothing written", source(),
                                    check.value, MaxNameLength));
        return false;
    case LayoutRefusal::DataTooLarge:
    case LayoutRefusal::DataPastAddressable:
        reporter.Failed(fmt::format("{}: its data would lie past the 4 GiB an archive can address; nothing written",
                                    source()));
        return false;
    }
    return false;
}

// Where the archive goes: a temporary file in the archive's folder, renamed
// into place at the end, or standard output.
struct Destination {
    std::optional<Folder> folder;
    fs::path leaf;
    std::optional<TempOutput> temp;
    std::optional<Identity> self;  // the archive being replaced: never packed into itself
    NativeHandle Handle() const { return temp ? temp->Handle() : StandardOutput(); }
};

// Checks the archive argument and opens its folder (no folder: standard
// output); gives the exit status on failure.
Step<Destination> PrepareDestination(const CreateOptions& options, Reporter& reporter) {
    Destination destination;
    if (IsStandardStream(options.archive)) {
        if (IsTerminal(StandardOutput())) {
            reporter.Say("standard output is a terminal; redirect it to a file or a pipe");
            return Reported{ExitBadUsage};
        }
        return destination;
    }
    const auto folderPath = options.archive.has_parent_path() ? options.archive.parent_path() : fs::path(".");
    destination.leaf = options.archive.filename();
    if (destination.leaf.empty() || destination.leaf == "." || destination.leaf == "..") {
        reporter.Say("not a file name");
        return Reported{ExitBadUsage};
    }
    auto folder = Folder::OpenRoot(folderPath, false);
    if (!folder) {
        reporter.Say(fmt::format("cannot open folder {}: {}", folderPath.string(), folder.error()));
        return Reported{ExitBadUsage};
    }
    destination.folder.emplace(std::move(*folder));
    if (destination.folder->Probe(destination.leaf) != NodeKind::Missing) {
        if (!options.overwrite) {
            reporter.Say("exists; kept (--overwrite replaces it)");
            return Reported{ExitBadUsage};
        }
        if (auto existing = InputFile::Open(options.archive)) destination.self = existing->Identity();
    }
    return destination;
}

// Header and directory, then every file's data; false when it failed (said).
bool WriteArchiveData(const std::vector<Input>& inputs, const ArchiveLayout& layout, Destination& destination,
                      Progress& progress, Reporter& reporter, const NameCodec* echo, bool followLinks) {
    if (const auto written = WriteAll(destination.Handle(), layout.headAndDirectory); !written) {
        reporter.Failed("cannot write: " + written.error());
        return false;
    }
    const bool stream = !destination.temp.has_value();
    Packer packer(destination.Handle(), stream, followLinks, reporter);
    for (const auto& in : inputs) {
        if (!packer.Pack(in)) return false;
        if (echo) Echo(NameForMessage(in.name, *echo), stream);
        progress.Add(1, in.size);
        progress.Tick();
    }
    return packer.Finish();
}

// Create, or for add (`forAdd`) the same with nothing said when the archive
// exists or appears meanwhile: ArchiveExists, and add changes it instead.
constexpr int ArchiveExists = -1;

int CreateArchive(const CreateOptions& given, bool forAdd) {
    const auto started = std::chrono::steady_clock::now();
    Reporter reporter(ArchiveLabel(given.archive, "standard output"));
    CreateOptions options = given;
    auto codec = PrepareInputs(options, reporter);
    if (!codec) return codec.failure().status;
    if (forAdd && !IsStandardStream(options.archive)) {
        std::error_code ec;
        if (std::filesystem::exists(options.archive, ec) || ec) return ArchiveExists;
    }
    auto prepared = PrepareDestination(options, reporter);
    if (!prepared) return prepared.failure().status;
    Destination& destination = *prepared;
    auto gatheredOrNot = GatherInputs(options, *codec, reporter, destination.self);
    if (!gatheredOrNot) return gatheredOrNot.failure().status;
    Gathered& gathered = *gatheredOrNot;
    // Memory is "the directory and a little": what is done with goes now.
    std::string().swap(options.listed);
    PauseAtForTests("gathered");
    auto& inputs = gathered.inputs;
    std::vector<EntrySpec> specs;
    specs.reserve(inputs.size());
    std::uint64_t totalBytes = 0;
    for (const auto& in : inputs) {
        specs.push_back({in.name, in.size});
        totalBytes += in.size;
    }
    if (!CheckLimits(inputs, specs, reporter)) return ExitSomeFailed;
    const LayoutResult planned = PlanArchive(specs);
    if (!planned.ok()) {
        reporter.Failed(planned.error + "; nothing written");
        return ExitSomeFailed;
    }
    std::vector<EntrySpec>().swap(specs);

    if (destination.folder) {
        InstallInterruptCleanup();
        auto temp = destination.folder->CreateTemp();
        if (!temp) {
            reporter.Failed(temp.error());
            return ExitSomeFailed;
        }
        destination.temp.emplace(std::move(*temp));
    }
    Progress progress(!options.common.quiet && StderrIsTerminal(), inputs.size(), totalBytes);
    reporter.ClearLine(progress.Enabled());
    const bool written = WriteArchiveData(inputs, planned.layout, destination, progress, reporter,
                                          options.verbose ? &*codec : nullptr, !options.noFollow);
    progress.Finish();
    if (!written) {
        // A file is removed with its temporary name; a stream has gone out.
        if (destination.temp) reporter.Say("nothing written");
        return ExitSomeFailed;
    }
    if (destination.temp) {
        // Durable: an archive replaced by --overwrite must not be lost to a
        // power cut, and a new one should be there once qvr has said so.
        const auto committed =
            destination.temp->Commit(destination.leaf, CommitRules{options.overwrite, true, std::nullopt});
        if (!committed) {
            reporter.Failed("cannot put in place: " + committed.error());
            return ExitSomeFailed;
        }
        switch (*committed) {
        case CommitStatus::Placed:
            break;
        case CommitStatus::Exists:
            if (forAdd) return ArchiveExists;
            reporter.Failed("appeared while packing; kept (--overwrite replaces it)");
            return ExitSomeFailed;
        case CommitStatus::Changed:
            reporter.Failed(std::string("cannot put in place: ") + NameChangedText);
            return ExitSomeFailed;
        }
    }
    if (!options.common.quiet && StderrIsTerminal()) PrintSummary("packed", inputs.size(), totalBytes, started);
    return gathered.skipped > 0 || reporter.AnyFailed() ? ExitSomeFailed : ExitSuccess;
}

}  // namespace

Finish SetUpCreate(CLI::App& command, CreateOptions& options) {
    AddPositional(command, "ARCHIVE", options.archive, "The archive to write ('-': standard output)");
    Finish inputs = AddInputs(command, options);
    AddFlag(command, "--overwrite", options.overwrite, "Replace ARCHIVE if it exists");
    AddCommon(command, options.common);
    SetFooter(command, R"(Examples:
  qvr create data.qvr readme.txt sound     readme.txt and sound\... entries
  qvr create data.qvr -C tree .            the contents of tree/, without tree\
  qvr create data.qvr -C tree sub -C /usr/share/doc bash
                                           tree/sub as sub\..., and bash\...
  qvr create --encoding CP932 data.qvr -C tree .
  qvr create - tree | ssh host 'cat > tree.qvr'
  find tree -name '*.txt' -print0 | qvr create texts.qvr --null -T -
  qvr create data.qvr tree --exclude '*.bak' --exclude .git

Names are the paths as given, with backslash separators; folders are walked in
byte order of their names. Every name must come back out as the path it came
from, so create refuses, writing nothing and listing every offending path:
names that extraction refuses (a colon, a component of dots and spaces, a
device name such as nul.txt or COM1, control bytes, < > " | ? *), a backslash
inside a file name, names that do not come back unchanged from --encoding,
two different files stored under one name, a symbolic link loop, a link to
nothing or a file that cannot be read (unless --ignore-failed-read), more than
65535 files, a name longer than 255 bytes, or data past the 4 GiB an archive
can address. Empty folders cannot be stored; each is named. Inputs that are
not files or folders (a FIFO, a device) are skipped, each named, and so are
links with -P: the archive is written and the exit status is 1.)");
    return inputs;
}

int Create(const CreateOptions& options) { return CreateArchive(options, false); }

std::optional<int> CreateForAdd(const CreateOptions& options) {
    const int status = CreateArchive(options, true);
    if (status == ArchiveExists) return std::nullopt;
    return status;
}

}  // namespace qvr::cli
