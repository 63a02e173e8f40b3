// A stored entry name on its way to disk, read in one of three code pages
// (the first input byte picks: single-byte, Shift_JIS or GBK). Every name
// the rule accepts, split into the components it is written as and joined
// to a target folder, stays strictly inside that folder: no component is
// empty, "." or made of dots and spaces, none holds a separator, a colon, a
// zero or a control byte outside a two-byte character, and splitting loses
// no byte of the name. The check that also cuts the name answers the same
// and cuts it as PathComponents does.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "qvr/entry_name.h"

namespace {

bool SafeComponent(std::span<const std::uint8_t> c, const qvr::LeadBytes& lead) {
    if (c.empty()) return false;
    if (std::all_of(c.begin(), c.end(), [](std::uint8_t b) { return b == '.' || b == ' '; })) return false;
    for (std::size_t i = 0; i < c.size(); ++i) {
        if (lead.IsLead(c[i])) {
            ++i;  // the second byte of a character may be anything from 0x40 up
            continue;
        }
        if (c[i] < 0x20 || c[i] == ':' || c[i] == '/' || c[i] == '\\') return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::uint32_t codePages[] = {1252, 932, 936};
    const auto lead = qvr::LeadBytes::ForCodePage(codePages[data[0] % 3]);
    const std::span<const std::uint8_t> name(data + 1, size - 1);

    const auto parts = qvr::SplitEntryName(name, lead);
    std::size_t bytes = parts.size() - 1;  // the separators between them
    for (const auto p : parts) bytes += p.size();
    if (bytes != name.size()) std::abort();

    std::vector<std::span<const std::uint8_t>> cut;
    const auto refusal = qvr::CheckEntryName(name, lead);
    if (qvr::CheckEntryName(name, lead, cut) != refusal) std::abort();
    if (refusal != qvr::NameRefusal::None) return 0;
    const auto components = qvr::PathComponents(name, lead);
    if (components.empty()) std::abort();
    if (!std::equal(cut.begin(), cut.end(), components.begin(), components.end(),
                    [](auto a, auto b) { return a.data() == b.data() && a.size() == b.size(); }))
        std::abort();
    std::filesystem::path path;
    for (const auto c : components) {
        if (!SafeComponent(c, lead)) std::abort();
        path /= std::string(c.begin(), c.end());
    }
    const std::filesystem::path target = "/srv/target";
    const auto joined = (target / path).lexically_normal();
    const auto [t, j] = std::mismatch(target.begin(), target.end(), joined.begin(), joined.end());
    if (t != target.end() || j == joined.end()) std::abort();  // outside, or the folder itself
    return 0;
}
