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

// The stored name for a path's components, or why it has none. A name must
// come back: the stored bytes, read again as extraction reads them, give
// the same components, each one accepted by the entry-name rule.
struct StoredName {
    Bytes bytes;
    std::string refusal;  // empty: the name may be stored
};
StoredName StoredNameFor(const std::vector<std::filesystem::path>& components, const NameCodec& codec,
                         const std::string& encoding);

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

// Appends the bytes of gathered files, scrambled as stored, to `to`, one
// after another. Each file is opened again, and must be the one gathered
// (the same device and inode: a file swapped for a link or another file is
// not packed); Pack is false when it is not, cannot be read, or is now
// shorter than gathered (said). A file that grew or changed size while it
// was read is stored as its gathered size's first bytes, and said as a
// failure (the command ends with exit status 1, as the archive is not what
// is on disk). Small files are held and written together: Finish writes
// what is held, and only then is the output complete.
class Packer {
public:
    Packer(NativeHandle to, bool toIsStream, bool followLinks, Reporter& reporter);
    bool Pack(const Input& in);
    bool Finish();

private:
    Result<InputFile> Open(const Input& in);
    bool PackHeld(const Input& in, InputFile& file);
    bool Flush();
    void Wrote(std::uint64_t bytes);

    NativeHandle to_;
    bool toIsStream_;
    bool followLinks_;
    Reporter& reporter_;
    std::optional<SourceFolder> folder_;  // where the last file packed lay
    std::vector<std::uint8_t> held_;
    std::uint64_t notWrittenOut_ = 0;  // bytes written since the disk was last asked to start on them
};

// One file, as Packer packs it, written out at once.
bool PackFile(const Input& in, bool followLinks, NativeHandle to, bool toIsStream, Reporter& reporter);

}  // namespace qvr::cli
