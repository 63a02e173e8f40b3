#include "safe_path.h"

#include <algorithm>
#include <array>
#include <string_view>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#endif

namespace qvr::cli {
namespace {

bool IsSeparator(std::uint8_t b) { return b == '/' || b == '\\'; }

using Component = std::span<const std::uint8_t>;

std::vector<Component> SplitComponents(std::span<const std::uint8_t> name) {
    std::vector<Component> parts;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= name.size(); ++i) {
        if (i == name.size() || IsSeparator(name[i])) {
            parts.push_back(name.subspan(start, i - start));
            start = i + 1;
        }
    }
    return parts;
}

bool OnlyDotsAndSpaces(Component c) {
    return std::all_of(c.begin(), c.end(), [](std::uint8_t b) { return b == '.' || b == ' '; });
}

bool IsSingleDot(Component c) { return c.size() == 1 && c[0] == '.'; }

#ifdef _WIN32
// Names Windows maps to devices in every folder, with or without an extension.
bool IsDeviceName(Component c) {
    std::string base;
    for (auto b : c) {
        if (b == '.') break;
        base.push_back(static_cast<char>(b >= 'a' && b <= 'z' ? b - 0x20 : b));
    }
    while (!base.empty() && base.back() == ' ') base.pop_back();
    static constexpr std::array<std::string_view, 4> fixed{"CON", "PRN", "AUX", "NUL"};
    if (std::find(fixed.begin(), fixed.end(), base) != fixed.end()) return true;
    if (base == "CONIN$" || base == "CONOUT$") return true;
    return base.size() == 4 && (base.starts_with("COM") || base.starts_with("LPT")) &&
           base[3] >= '0' && base[3] <= '9';
}

std::string WindowsRefusal(Component c) {
    for (auto b : c) {
        if (b < 0x20) return "control byte in name";
        if (b == '<' || b == '>' || b == '"' || b == '|' || b == '?' || b == '*')
            return "character Windows does not allow in file names";
    }
    if (c.back() == '.' || c.back() == ' ') return "component ends in a dot or space";
    if (IsDeviceName(c)) return "Windows device name";
    return {};
}

std::optional<std::wstring> Widen(Component c) {
    if (c.empty()) return std::wstring{};
    const auto* bytes = reinterpret_cast<const char*>(c.data());
    const int n = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, bytes, static_cast<int>(c.size()),
                                      nullptr, 0);
    if (n <= 0) return std::nullopt;
    std::wstring wide(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, bytes, static_cast<int>(c.size()), wide.data(), n);
    return wide;
}
#endif

}  // namespace

std::string RefusalReason(std::span<const std::uint8_t> name) {
    if (name.empty()) return "empty name";
    if (std::find(name.begin(), name.end(), std::uint8_t{0}) != name.end()) return "zero byte in name";
    if (std::find(name.begin(), name.end(), std::uint8_t{':'}) != name.end())
        return "colon in name (drive letter or stream)";
    if (name.size() >= 2 && IsSeparator(name[0]) && IsSeparator(name[1])) return "UNC or device path";
    if (IsSeparator(name[0])) return "absolute path";
    if (IsSeparator(name.back())) return "names a folder, not a file";

    bool any = false;
    for (const auto c : SplitComponents(name)) {
        if (c.empty() || IsSingleDot(c)) continue;
        // ".." and forms Windows shortens to it ("...", ".. ") would climb out.
        if (OnlyDotsAndSpaces(c)) return "'..' or dots-only component";
#ifdef _WIN32
        if (auto why = WindowsRefusal(c); !why.empty()) return why;
        if (!Widen(c)) return "not valid in the system code page";
#endif
        any = true;
    }
    if (!any) return "no file name";
    return {};
}

std::optional<std::filesystem::path> SafeRelativePath(std::span<const std::uint8_t> name) {
    if (!RefusalReason(name).empty()) return std::nullopt;
    std::filesystem::path out;
    for (const auto c : SplitComponents(name)) {
        if (c.empty() || IsSingleDot(c)) continue;
#ifdef _WIN32
        out /= *Widen(c);
#else
        out /= std::string(c.begin(), c.end());
#endif
    }
    return out;
}

}  // namespace qvr::cli
