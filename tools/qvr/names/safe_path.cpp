#include "names/safe_path.h"

namespace qvr::cli {

std::string RefusalReason(std::span<const std::uint8_t> name, const NameCodec& codec) {
    if (const auto refusal = CheckEntryName(name, codec.TextLead()); refusal != NameRefusal::None)
        return std::string(Describe(refusal));
    for (const auto c : PathComponents(name, codec.TextLead()))
        if (!codec.NativeComponent(c))
            return codec.Converts() ? "not valid UTF-8" : "not valid in the system code page";
    return {};
}

std::optional<std::filesystem::path> SafeRelativePath(std::span<const std::uint8_t> name, const NameCodec& codec) {
    if (CheckEntryName(name, codec.TextLead()) != NameRefusal::None) return std::nullopt;
    std::filesystem::path out;
    for (const auto c : PathComponents(name, codec.TextLead())) {
        const auto part = codec.NativeComponent(c);
        if (!part) return std::nullopt;
        out /= *part;
    }
    return out;
}

}  // namespace qvr::cli
