// The name a file is stored under, made from its path's components: each
// converted to the archive's encoding, joined by the stored separator, and
// checked to come back out as the same components.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include "names/codec.h"

namespace qvr::cli {

// One component of a stored name: its text, as extraction will see it
// (UTF-8, or bytes where nothing converts), and its stored bytes; or why it
// cannot be stored. `text` is empty when the component has no text at all.
struct StoredComponent {
    Bytes text;
    Bytes stored;
    std::string refusal;
};
StoredComponent StoreComponent(const std::filesystem::path& component, const NameCodec& codec,
                               const std::string& encoding);

// Appends `part` to a name being built, after the stored separator unless
// it is the first.
void AppendComponent(Bytes& to, std::span<const std::uint8_t> part);

// The stored name for a path's components, or why it has none. A name must
// come back: the stored bytes, read again as extraction reads them, give
// the same components, each one accepted by the entry-name rule.
struct StoredName {
    Bytes bytes;
    std::string refusal;  // empty: the name may be stored
};
StoredName StoredNameFor(const std::vector<std::filesystem::path>& components, const NameCodec& codec,
                         const std::string& encoding);

}  // namespace qvr::cli
