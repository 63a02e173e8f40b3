// What every platform's codec shares: names are converted part by part
// between the separators, and what is stored must come back.
#include "names/codec.h"

#include "names/names.h"

namespace qvr::cli {
namespace {

// The separator byte just before `part`, which SplitEntryName cut from `name`.
std::uint8_t SeparatorBefore(std::span<const std::uint8_t> name, std::span<const std::uint8_t> part) {
    return name[static_cast<std::size_t>(part.data() - name.data()) - 1];
}

// Converts each part of `name` (cut where `lead` allows) with `convert`,
// keeping the separators as they are; nullopt when a part fails.
template <class Convert>
std::optional<Bytes> ConvertParts(std::span<const std::uint8_t> name, const LeadBytes& lead, Convert convert) {
    Bytes out;
    out.reserve(name.size() * 2);
    bool first = true;
    for (const auto part : SplitEntryName(name, lead)) {
        if (!first) out.push_back(SeparatorBefore(name, part));
        first = false;
        const auto converted = convert(part);
        if (!converted) return std::nullopt;
        out.insert(out.end(), converted->begin(), converted->end());
    }
    return out;
}

}  // namespace

// UTF-8 names are UTF-8 text already: checked, not converted, so that an
// archive whose names were found to be UTF-8 costs no converter per name.
constexpr std::uint32_t Utf8CodePage = 65001;

std::optional<Bytes> NameCodec::ToUtf8(std::span<const std::uint8_t> stored) const {
    if (!converts_) return Bytes(stored.begin(), stored.end());
    if (codePage_ == Utf8CodePage) return IsValidUtf8(stored) ? std::optional(Bytes(stored.begin(), stored.end())) : std::nullopt;
    return ConvertParts(stored, lead_, [this](auto part) { return DecodePart(part); });
}

// The one rule for names that are written: encoded, they must decode to the
// same text, or the archive would give back a different name.
std::optional<Bytes> NameCodec::FromUtf8(std::span<const std::uint8_t> text, std::string* why) const {
    if (!converts_) return Bytes(text.begin(), text.end());
    auto stored = ConvertParts(text, TextLead(), [this](auto part) { return EncodePart(part); });
    if (!stored) {
        if (why) *why = "cannot be written in " + name_;
        return std::nullopt;
    }
    const auto back = ToUtf8(*stored);
    if (!back || *back != Bytes(text.begin(), text.end())) {
        if (why)
            *why = back ? "would come back from " + name_ + " as '" + DisplayName(*back, true) + "'"
                        : "cannot be read back from " + name_;
        return std::nullopt;
    }
    return stored;
}

std::string NameCodec::LossyUtf8(std::span<const std::uint8_t> stored) const {
    std::string out;
    out.reserve(stored.size() * 2);
    bool first = true;
    for (const auto part : SplitEntryName(stored, lead_)) {
        if (!first) out.push_back(static_cast<char>(SeparatorBefore(stored, part)));
        first = false;
        AppendLossyPart(out, part);
    }
    return out;
}

const NameCodec& NameCodec::PassThrough() {
    static const NameCodec codec = std::move(*Make(""));
    return codec;
}

}  // namespace qvr::cli
