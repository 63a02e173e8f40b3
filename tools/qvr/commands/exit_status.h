// What qvr's exit status tells a script.
#pragma once

namespace qvr::cli {

enum ExitStatus : int {
    ExitSuccess = 0,
    ExitSomeFailed = 1,  // the command ran, but some entries (or inputs) failed
    ExitBadUsage = 2,    // bad arguments, or not a readable QVR archive
};

}  // namespace qvr::cli
