#include "names/stored_name.h"

#include <algorithm>

#include <fmt/format.h>

#include "names/safe_path.h"

namespace qvr::cli {

namespace fs = std::filesystem;

StoredComponent StoreComponent(const fs::path& component, const NameCodec& codec, const std::string& encoding) {
    StoredComponent out;
    auto text = codec.ComponentText(component);
    if (!text) {
        out.refusal = codec.Converts() ? "name is not valid Unicode" : "name cannot be stored in the system code page";
        return out;
    }
    out.text = std::move(*text);
#ifndef _WIN32
    // Here a backslash is an ordinary character; stored, it would
    // separate folders.
    if (std::find(out.text.begin(), out.text.end(), std::uint8_t{'\\'}) != out.text.end()) {
        out.refusal = "backslash in a file name (it would become a folder separator)";
        return out;
    }
#endif
    // Components are converted one by one and joined with the byte 0x5C,
    // the separator in every code page, even where a conversion would read
    // that byte as another character. The codec stores only what decodes
    // to the same text again.
    std::string why;
    auto stored = codec.FromUtf8(out.text, &why);
    if (!stored) {
        out.refusal = fmt::format("name cannot be stored in {}: {}",
                                  !encoding.empty()       ? encoding
                                  : codec.Name().empty() ? "the system code page"
                                                         : codec.Name(),
                                  why);
        return out;
    }
    out.stored = std::move(*stored);
    return out;
}

void AppendComponent(Bytes& to, std::span<const std::uint8_t> part) {
    if (!to.empty()) to.push_back('\\');
    to.insert(to.end(), part.begin(), part.end());
}

StoredName StoredNameFor(const std::vector<fs::path>& components, const NameCodec& codec,
                         const std::string& encoding) {
    StoredName out;
    Bytes text;
    for (const auto& component : components) {
        auto part = StoreComponent(component, codec, encoding);
        if (!part.refusal.empty()) return {{}, std::move(part.refusal)};
        AppendComponent(text, part.text);
        AppendComponent(out.bytes, part.stored);
    }
    if (const auto why = RefusalReason(text, codec); !why.empty())
        out.refusal = "name would be refused on extraction: " + why;
    return out;
}


}  // namespace qvr::cli
