// GetFile's disk output: an entry's content becomes a file under the
// entry's name, relative to the current directory.
#pragma once

#include <cstdint>

#include "host_block.h"
#include "plugin.h"

namespace axqvr {

// Takes the content block out of `slot`, writes `size` bytes of it to the
// file `name` and releases it; on success leaves a 200-byte zero-filled
// block in `slot`. The content goes to a new temporary file beside the
// target first, which then replaces the target in one step: on any failure
// `slot` is empty, a file the name already had is exactly as it was, and
// no temporary file remains.
bool WriteEntryFile(const EntryName& name, HostBlock& slot, std::uint32_t size) noexcept;

}  // namespace axqvr
