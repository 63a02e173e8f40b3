// Disk output writes an entry under its own name, relative to the current
// directory. A name from an archive must not reach anywhere else.
#pragma once

namespace axqvr {

// Whether the archive rule for entry names accepts `name`, read in the
// system's ANSI code page (the one CreateFileA reads it in), so that the
// second byte of a double-byte character is never taken for a separator.
bool IsSafeEntryName(const char* name) noexcept;

}  // namespace axqvr
