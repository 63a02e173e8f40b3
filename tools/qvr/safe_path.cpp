#include "safe_path.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace qvr::cli {
namespace {

#ifdef _WIN32
// A component as the system's ANSI code page reads it (as CreateFileA would).
std::optional<std::wstring> Widen(std::span<const std::uint8_t> c) {
    if (c.empty()) return std::wstring{};
    const auto* bytes = reinterpret_cast<const char*>(c.data());
    const int n = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, bytes, static_cast<int>(c.size()), nullptr, 0);
    if (n <= 0) return std::nullopt;
    std::wstring wide(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, bytes, static_cast<int>(c.size()), wide.data(), n);
    return wide;
}
#endif

}  // namespace

std::string RefusalReason(std::span<const std::uint8_t> name, const LeadBytes& lead) {
    if (const auto refusal = CheckEntryName(name, lead); refusal != NameRefusal::None)
        return std::string(Describe(refusal));
#ifdef _WIN32
    for (const auto c : PathComponents(name, lead))
        if (!Widen(c)) return "not valid in the system code page";
#endif
    return {};
}

std::optional<std::filesystem::path> SafeRelativePath(std::span<const std::uint8_t> name, const LeadBytes& lead) {
    if (!RefusalReason(name, lead).empty()) return std::nullopt;
    std::filesystem::path out;
    for (const auto c : PathComponents(name, lead)) {
#ifdef _WIN32
        out /= *Widen(c);
#else
        out /= std::string(c.begin(), c.end());
#endif
    }
    return out;
}

}  // namespace qvr::cli
