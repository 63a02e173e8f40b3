#include "names/path_key.h"

#include "names/names.h"
#include "qvr/ascii.h"

namespace qvr::cli {

namespace {

// A-Z folded where a character starts.
void AppendFolded(std::string& out, std::span<const std::uint8_t> component, const LeadBytes& lead) {
    for (std::size_t i = 0; i < component.size(); ++i) {
        const std::uint8_t b = component[i];
        if (lead.IsLead(b) && i + 1 < component.size()) {
            out.push_back(static_cast<char>(b));
            out.push_back(static_cast<char>(component[++i]));
        } else {
            out.push_back(static_cast<char>(AsciiLower(b)));
        }
    }
}

}  // namespace

void AppendPathKey(std::string& out, std::span<const std::uint8_t> text, const LeadBytes& lead, bool foldCase,
                   std::vector<std::uint32_t>* ends) {
    const std::size_t start = out.size();
    for (std::size_t from = 0;;) {
        const std::size_t end = ComponentEnd(text, from, lead);
        const auto component = text.subspan(from, end - from);
        if (!IsDroppedComponent(component)) {
            if (out.size() > start) out.push_back('\\');
            AppendComponentKey(out, component, lead, foldCase);
            if (ends) ends->push_back(static_cast<std::uint32_t>(out.size() - start));
        }
        if (end == text.size()) return;
        from = end + 1;
    }
}

void AppendComponentKey(std::string& out, std::span<const std::uint8_t> component, const LeadBytes& lead,
                        bool foldCase) {
    if (foldCase) AppendFolded(out, component, lead);
    else out.append(reinterpret_cast<const char*>(component.data()), component.size());
}

std::string PathKey(std::span<const std::uint8_t> text, const LeadBytes& lead, bool foldCase) {
    std::string key;
    key.reserve(text.size());
    AppendPathKey(key, text, lead, foldCase);
    return key;
}

std::string LandingKey(std::span<const std::uint8_t> storedName, const NameCodec& codec) {
    return LandingKeyOfText(TextOf(storedName, codec), codec);
}

std::string LandingKeyOfText(std::span<const std::uint8_t> text, const NameCodec& codec) {
    return PathKey(text, codec.TextLead(), true);
}

}  // namespace qvr::cli
