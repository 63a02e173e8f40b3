// The one gate between a stored entry name and the file system: which names
// may be written, and to which path relative to the target folder.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>

#include "names/codec.h"
#include "qvr/entry_name.h"

namespace qvr::cli {

// The relative path an entry may be written to, or nullopt when the archive
// rule for entry names refuses it (qvr/entry_name.h: absolute, UNC, any
// colon, a component of dots and spaces, device names, reserved characters,
// control bytes, ...) or the file system cannot take a part of it. `name` is
// the text `codec` gives for the stored name (NameCodec::ToUtf8). Slash and
// backslash both separate folders, but never the second byte of a two-byte
// character of the text's code page; empty and `.` components are dropped.
// An accepted path never has a root and never leaves the folder it is joined
// to.
std::optional<std::filesystem::path> SafeRelativePath(std::span<const std::uint8_t> name,
                                                      const NameCodec& codec = NameCodec::PassThrough());

// Why SafeRelativePath refuses a name, in a few words for a message; empty
// when the name is accepted.
std::string RefusalReason(std::span<const std::uint8_t> name, const NameCodec& codec = NameCodec::PassThrough());

}  // namespace qvr::cli
