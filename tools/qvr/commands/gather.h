// The files a command packs: create and add gather them the same way, walk
// folders in a stable order, and check every name before anything is
// written, so that both store exactly what comes back out.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "commands/commands.h"
#include "commands/open_archive.h"
#include "commands/report.h"

namespace qvr::cli {

using Identity = std::pair<std::uint64_t, std::uint64_t>;

struct Input {
    // Where it is read from, and named in messages: `leaf` inside `folder`
    // (which ends with a separator), or `leaf` alone without one. The files
    // of one folder share its path: 65,535 inputs do not each hold a copy.
    std::shared_ptr<const NativePath> folder;
    NativePath leaf;
    Bytes name;  // as stored
    std::uint64_t size = 0;
    Identity identity{};
    bool refused = false;  // reported; kept only to find names it collides with

    // The whole path, made when asked (a message, a change's plan).
    NativePath Source() const { return folder ? *folder + leaf : leaf; }
};

// A path kept as NativePath, as messages show it.
std::string ShownPath(const NativePath& path);

// What create and add do before any file is touched: -T's list read into
// the inputs (once), the codec --encoding names made in `codec`, and the
// arguments' own mistakes (no inputs, -C not a folder) said. Gives the
// codec, or the exit status when any of them failed.
Step<NameCodec> PrepareInputs(CreateOptions& options, Reporter& reporter);

struct Gathered {
    std::vector<Input> inputs;  // one per stored name, in the order met
    std::uint64_t skipped = 0;  // inputs left out, each named: the command ends with exit status 1
};

// The bytes of data the inputs hold.
std::uint64_t TotalSize(const std::vector<Input>& inputs);

// Gathers every file the options name; `self`, the archive being replaced,
// is never packed into itself. When any input is refused, every reason has
// been said, then "nothing written", and the exit status is given.
Step<Gathered> GatherInputs(const CreateOptions& options, const NameCodec& codec, Reporter& reporter,
                            std::optional<Identity> self);

}  // namespace qvr::cli
