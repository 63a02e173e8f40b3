// The one gate between a stored entry name and the file system: which names
// may be written, and to which path relative to the target folder.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>

namespace qvr::cli {

// The relative path an entry may be written to, with backslashes and slashes
// both taken as folder separators, or nullopt when the name is refused:
// empty, absolute, drive-qualified or containing any colon, UNC, with a `..`
// component (or any component made only of dots and spaces, which Windows
// would shorten to one), containing a zero byte, or naming a folder (a
// trailing separator). Empty and `.` components are dropped. On Windows,
// names that Windows would treat specially (device names, trailing dots or
// spaces, < > " | ? * and control bytes) are refused as well. An accepted
// path never has a root and never leaves the folder it is joined to.
std::optional<std::filesystem::path> SafeRelativePath(std::span<const std::uint8_t> name);

// Why SafeRelativePath refuses a name, in a few words for a message; empty
// when the name is accepted.
std::string RefusalReason(std::span<const std::uint8_t> name);

}  // namespace qvr::cli
