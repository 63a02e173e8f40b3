// Disk output writes an entry under its own name, relative to the current
// directory. A name from an archive must not reach anywhere else.
#pragma once

namespace axqvr {

// False for a name that is empty, absolute (\x, /x), UNC, holds a colon
// anywhere (a drive, or an alternate data stream), or has a component that
// the system would take as the parent directory or as a device (NUL, CON,
// COM1 and their kin). Relative names into existing folders are fine.
bool IsSafeEntryName(const char* name) noexcept;

}  // namespace axqvr
