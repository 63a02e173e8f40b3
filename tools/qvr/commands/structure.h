// What qvr test reports as damage, and what the commands that change an
// archive refuse to build on: the archive library's structural findings
// (qvr/structure.h), worded for people.
#pragma once

#include <string>
#include <vector>

#include "commands/open_archive.h"
#include "commands/report.h"

namespace qvr::cli {

// Every structural problem, each a complete message: the directory cut
// short or past the end of the file, data past the end of the file, data
// overlapping the header, the directory entries or each other. Names are
// not judged here. Empty: the structure is sound.
std::vector<std::string> StructureProblems(const LoadedArchive& loaded);
// The same for an archive walked through its window: the directory is
// never held whole (qvr test, which reads it once more for the names).
std::vector<std::string> StructureProblems(WalkedArchive& walked);

// "damaged: N of M entries have data that run past the end of the file"
// (an archive cut short: what list and mount warn of), or "" when none do.
std::string PastEndWarning(const LoadedArchive& loaded);
// The same for an archive walked through its window (a walk of its own).
std::string PastEndWarning(WalkedArchive& walked);

}  // namespace qvr::cli
