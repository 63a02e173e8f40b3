// What qvr's exit status tells a script.
#pragma once

#include "result.h"

namespace qvr::cli {

enum ExitStatus : int {
    ExitSuccess = 0,
    ExitSomeFailed = 1,  // the command ran, but some entries (or inputs) failed
    ExitBadUsage = 2,    // bad arguments, or not a readable QVR archive
};

// A command's step that failed and has already said why (through the
// command's Reporter): all that is left is the status the command ends with.
struct Reported {
    int status;
};
template <class T = void>
using Step = Result<T, Reported>;

}  // namespace qvr::cli
