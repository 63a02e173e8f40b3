// Entry names as people see and type them: safe display and name patterns
// (the conversion from an archive's legacy encoding is in codec.h).
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "names/codec.h"
#include "qvr/entry_name.h"

namespace qvr::cli {

// The name as the tool selects, places and shows it: the text `codec`
// gives, or the stored bytes where it gives none (no encoding, or bytes not
// valid in it, which can then still be chosen and named in a message).
Bytes TextOf(std::span<const std::uint8_t> stored, const NameCodec& codec);

// TextOf for a walk over every name: one buffer, reused, and none at all
// while names pass through as bytes.
class NameText {
public:
    explicit NameText(const NameCodec& codec) : codec_(codec) {}
    // Valid until the next call.
    std::span<const std::uint8_t> Of(std::span<const std::uint8_t> stored);
    // Whether the last name was valid in the encoding (always, without one).
    bool Valid() const noexcept { return valid_; }

private:
    const NameCodec& codec_;
    Bytes converted_;
    bool valid_ = true;
};

bool IsValidUtf8(std::span<const std::uint8_t> bytes);

// Valid UTF-8 for any bytes: invalid sequences become U+FFFD.
std::string ToUtf8Lossy(std::span<const std::uint8_t> bytes);

// For a terminal: control bytes (and C1 controls, and bytes that are not
// valid UTF-8) become \xNN escapes. Otherwise the bytes are unchanged.
std::string DisplayName(std::span<const std::uint8_t> bytes, bool forTerminal);

// Lower-case hex of the bytes.
std::string Hex(std::span<const std::uint8_t> bytes);

// How names and patterns divide into characters: UTF-8 (what names are
// converted to, and the command line on Linux), or a Windows code page,
// single-byte or with two-byte characters (the command line on Windows).
struct NameCharacters {
    bool utf8 = true;
    LeadBytes lead;  // when not UTF-8: the bytes that start two-byte characters
};

// The characters of the command line and of file names on this system.
NameCharacters SystemNameCharacters();

// Shell-style match, character by character: `*` any run of characters
// (separators included), `?` one character, `[...]` a set of characters
// (`!` or `^` negates, `a-z` ranges by code). Slash and backslash match
// each other. With `ignoreCase`, only A-Z fold to a-z. Bytes that are not
// valid in `characters` count as one character each.
bool MatchName(std::span<const std::uint8_t> pattern, std::span<const std::uint8_t> name, bool ignoreCase,
               const NameCharacters& characters = NameCharacters{});
bool IsPattern(std::span<const std::uint8_t> pattern);

}  // namespace qvr::cli
