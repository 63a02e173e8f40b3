#include "commands/structure.h"

#include <algorithm>

#include <fmt/format.h>

#include "qvr/structure.h"

namespace qvr::cli {
namespace {

// Entry `finding.index`'s name for a message, read where the finding says the entry lies.
std::string NameOf(const StructureFinding& finding, const LoadedArchive& loaded) {
    DirectoryCursor cursor{loaded.opened.directory, finding.entryAt, finding.index};
    Entry entry;
    return ReadNextEntry(cursor, entry) ? NameForMessage(entry.NameBytes(), loaded.codec) : std::string();
}

std::string NameOf(const StructureFinding& finding, WalkedArchive& walked) {
    const auto entry = walked.EntryAt(finding.index, finding.entryAt);
    return entry ? NameForMessage(entry->NameBytes(), walked.codec) : std::string();
}

// `nameOf(finding)`: the name of the entry a finding concerns.
template <typename NameOfFinding>
std::string Message(const StructureFinding& f, std::uint32_t entryCount, std::uint64_t fileSize, NameOfFinding nameOf) {
    switch (f.fault) {
    case StructureFault::FirstEntryCut:
        return "the file ends inside the first directory entry";
    case StructureFault::DirectoryPastEnd:
        return fmt::format("the directory should run to byte {}, but the file has {} bytes", f.end, fileSize);
    case StructureFault::DirectoryCutShort:
        return fmt::format("entry {}: runs past the end of the directory; {} of {} entries readable", f.index, f.index,
                           entryCount);
    case StructureFault::DataPastEnd:
        return fmt::format("entry {} '{}': data run to byte {}, past the end of the file ({} bytes)", f.index,
                           nameOf(f), f.end, fileSize);
    case StructureFault::DataInsideDirectory:
        return fmt::format("entry {}: data at byte {} overlap the header or the directory entries", f.index, f.begin);
    case StructureFault::DataOverlap:
        return fmt::format("entry {}: data at bytes {} to {} overlap those of entry {}", f.index, f.begin, f.end - 1,
                           f.other);
    }
    return "damaged structure";
}

// How many findings say an entry's data run past the end of the file: an
// archive cut short, what list and mount warn of.
std::uint32_t CountPastEnd(const std::vector<StructureFinding>& findings) {
    return static_cast<std::uint32_t>(std::count_if(findings.begin(), findings.end(), [](const auto& f) {
        return f.fault == StructureFault::DataPastEnd;
    }));
}

std::string PastEndWarning(std::uint32_t past, std::uint32_t entryCount) {
    if (past == 0) return {};
    return fmt::format("damaged: {} of {} {} data that run past the end of the file (qvr test names {})", past,
                       Count(entryCount, "entry", "entries"), past == 1 ? "has" : "have", past == 1 ? "it" : "them");
}

}  // namespace

std::string PastEndWarning(const LoadedArchive& loaded) {
    return PastEndWarning(CountPastEnd(FindStructureProblems(loaded.opened, loaded.file.Size())),
                          loaded.opened.header.entryCount);
}

std::string PastEndWarning(WalkedArchive& walked) {
    const auto findings =
        FindStructureProblems(walked.file, 0, walked.Window(), walked.file.Size(), FirstWalkRead);
    return PastEndWarning(CountPastEnd(findings), walked.header.entryCount);
}

std::vector<std::string> StructureProblems(const LoadedArchive& loaded) {
    const std::uint64_t fileSize = loaded.file.Size();
    std::vector<std::string> problems;
    for (const auto& finding : FindStructureProblems(loaded.opened, fileSize))
        problems.push_back(Message(finding, loaded.opened.header.entryCount, fileSize,
                                   [&](const StructureFinding& f) { return NameOf(f, loaded); }));
    return problems;
}

std::vector<std::string> StructureProblems(WalkedArchive& walked) {
    const std::uint64_t fileSize = walked.file.Size();
    std::vector<std::string> problems;
    for (const auto& finding :
         FindStructureProblems(walked.file, 0, walked.Window(), fileSize, FirstWalkRead))
        problems.push_back(Message(finding, walked.header.entryCount, fileSize,
                                   [&](const StructureFinding& f) { return NameOf(f, walked); }));
    return problems;
}

}  // namespace qvr::cli
