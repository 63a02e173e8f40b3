// Which names are the same file: one key for every comparison of where
// names land (placement, create's repeats, add's replacements, rename).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "names/codec.h"
#include "qvr/entry_name.h"

namespace qvr::cli {

// Appends the key of `text` to `out`: its components without the empty and
// "." ones, joined by '\', with A-Z folded to a-z when `foldCase` (only
// where a character starts: a trail byte in A-Z is part of another
// character). `ends`, when given, gets where each component ends in the
// appended key, counted from where it starts.
void AppendPathKey(std::string& out, std::span<const std::uint8_t> text, const LeadBytes& lead, bool foldCase,
                   std::vector<std::uint32_t>* ends = nullptr);

// Appends one component's part of a key (no separator): `component` folded
// as AppendPathKey folds it. For callers that cut the name themselves.
void AppendComponentKey(std::string& out, std::span<const std::uint8_t> component, const LeadBytes& lead,
                        bool foldCase);

std::string PathKey(std::span<const std::uint8_t> text, const LeadBytes& lead, bool foldCase);

// Where a stored name lands on extraction, whatever system extracts it: the
// key of its text (TextOf), case folded, since every reader of these
// archives runs on Windows, where names that differ only in case are one file.
std::string LandingKey(std::span<const std::uint8_t> storedName, const NameCodec& codec);
// The same for a name already as text (a command-line argument made
// comparable by ArgumentsFor).
std::string LandingKeyOfText(std::span<const std::uint8_t> text, const NameCodec& codec);

}  // namespace qvr::cli
