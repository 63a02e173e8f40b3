// Entry names as people see and type them: safe display and name patterns
// (the conversion from an archive's legacy encoding is in codec.h).
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "codec.h"

namespace qvr::cli {

bool IsValidUtf8(std::span<const std::uint8_t> bytes);

// Valid UTF-8 for any bytes: invalid sequences become U+FFFD.
std::string ToUtf8Lossy(std::span<const std::uint8_t> bytes);

// For a terminal: control bytes (and C1 controls, and bytes that are not
// valid UTF-8) become \xNN escapes. Otherwise the bytes are unchanged.
std::string DisplayName(std::span<const std::uint8_t> bytes, bool forTerminal);

// Lower-case hex of the bytes.
std::string Hex(std::span<const std::uint8_t> bytes);

// Shell-style match: `*` any run of bytes (separators included), `?` one
// byte, `[...]` a set (`!` or `^` negates, `a-z` ranges). Slash and
// backslash match each other. With `ignoreCase`, only A-Z fold to a-z.
bool MatchName(std::span<const std::uint8_t> pattern, std::span<const std::uint8_t> name, bool ignoreCase);
bool IsPattern(std::span<const std::uint8_t> pattern);

}  // namespace qvr::cli
