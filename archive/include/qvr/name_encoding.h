// Which encoding an archive's names are in. The format does not say: names
// are bytes in the code page of the system that made the archive, most
// often CP932 or, from newer writers, UTF-8. So every reader guesses the
// same way from the names themselves, and a person can still override it.
//
// The rule: every name valid UTF-8 and at least one non-ASCII byte among
// them: UTF-8. Otherwise every name valid CP932 and at least one non-ASCII
// byte (a 0x5C trail byte is one such): CP932. Otherwise the bytes are
// taken as they are (plain ASCII names read the same in all of them).
#pragma once

#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>

#include "qvr/open.h"

namespace qvr {

enum class NameEncoding {
    AsBytes,  // no guess: names pass through as they are stored
    Utf8,
    Cp932,
};

// Well-formed UTF-8: no overlong forms, surrogates or code points past U+10FFFF.
bool IsValidUtf8Name(std::span<const std::uint8_t> name) noexcept;

// Length of the well-formed UTF-8 sequence at the start of `b` (not
// empty): 1 to 4, or 0 where none starts (overlong forms, surrogates and
// code points past U+10FFFF are not well-formed).
std::size_t Utf8SequenceLength(std::span<const std::uint8_t> b) noexcept;

// Bytes that CP932 can read: single bytes 0x00-0x7F and 0xA1-0xDF (half-width
// katakana), and pairs of a lead byte 0x81-0x9F or 0xE0-0xFC and a trail
// byte 0x40-0x7E or 0x80-0xFC. A structural check, without the code page's
// table: a pair in an unassigned row still counts.
bool IsValidCp932Name(std::span<const std::uint8_t> name) noexcept;

// True when no byte of `name` has its top bit set. Eight bytes at a time,
// and inline: every name of a directory is asked, and most are so.
inline bool IsAsciiName(std::span<const std::uint8_t> name) noexcept {
    constexpr std::uint64_t TopBits = 0x8080808080808080u;
    const std::size_t n = name.size();
    std::uint64_t seen = 0;
    if (n >= 8) {
        for (std::size_t i = 0; i + 8 <= n; i += 8) {
            std::uint64_t word;
            std::memcpy(&word, name.data() + i, 8);
            seen |= word;
        }
        std::uint64_t last;  // the last eight, overlapping what was seen
        std::memcpy(&last, name.data() + n - 8, 8);
        seen |= last;
    } else {
        for (const auto b : name) seen |= b;
    }
    return (seen & TopBits) == 0;
}

// The guess, one name at a time, for a reader that walks the names anyway.
class NameEncodingGuess {
public:
    void Add(std::span<const std::uint8_t> name) noexcept;
    // The same for a name as stored: descrambled only when it is not plain
    // ASCII (a scrambled name is plain ASCII exactly when the name is).
    void AddStored(std::span<const std::uint8_t> scrambled) noexcept {
        if (!IsAsciiName(scrambled)) AddStoredBeyondAscii(scrambled);
    }
    NameEncoding Result() const noexcept;
    // True when some name would read as CP932 but the rule above could not
    // decide for it (other names are neither UTF-8 nor CP932).
    bool SomeLookLikeCp932() const noexcept { return someCp932Only_; }

private:
    void AddStoredBeyondAscii(std::span<const std::uint8_t> scrambled) noexcept;

    bool allUtf8_ = true;
    bool allCp932_ = true;
    bool nonAscii_ = false;
    bool someCp932Only_ = false;
};

// The guess over every name the directory walk of `opened` reads.
NameEncodingGuess GuessNameEncoding(const OpenedArchive& opened) noexcept;

class WindowWalk;
// The same over the names from where `walk` stands to the directory's end
// (or where an entry runs past it); the walk is left there.
NameEncodingGuess GuessNameEncoding(WindowWalk& walk);

// "UTF-8", "CP932", or "" for AsBytes: the names codecs and people know them by.
std::string_view EncodingName(NameEncoding encoding) noexcept;

}  // namespace qvr
