// Packing gathered files: their bytes, scrambled as stored, appended to an
// archive being written, each file checked to be the one gathered.
#pragma once

#include <optional>
#include <vector>

#include "commands/gather.h"

namespace qvr::cli {

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
