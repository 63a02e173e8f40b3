#include "entry_name.h"

#include <string_view>

namespace axqvr {
namespace {

bool IsSeparator(char c) noexcept { return c == '\\' || c == '/'; }

// The system drops trailing dots and spaces from a path component, so
// ".. " and "..." name the parent as ".." does.
bool NamesParent(std::string_view component) noexcept {
    std::size_t dots = 0;
    for (const char c : component) {
        if (c == '.') ++dots;
        else if (c != ' ') return false;
    }
    return dots >= 2;
}

char Lower(char c) noexcept { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c; }

bool SameLetters(std::string_view a, std::string_view b) noexcept {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (Lower(a[i]) != Lower(b[i])) return false;
    return true;
}

// The system opens a device, not a file, for a component whose part before
// the first dot (trailing spaces dropped) is a device name, whatever
// extension follows: "nul.txt" goes nowhere, "com1.dat" to a port.
bool NamesDevice(std::string_view component) noexcept {
    std::string_view base = component.substr(0, component.find('.'));
    while (!base.empty() && base.back() == ' ') base.remove_suffix(1);
    for (const std::string_view device : {"con", "prn", "aux", "nul", "conin$", "conout$"})
        if (SameLetters(base, device)) return true;
    if (base.size() != 4) return false;
    const bool port = SameLetters(base.substr(0, 3), "com") || SameLetters(base.substr(0, 3), "lpt");
    // Digits, and the superscript digits 1, 2 and 3 of the Windows code page.
    const auto n = static_cast<unsigned char>(base[3]);
    return port && ((n >= '0' && n <= '9') || n == 0xB9 || n == 0xB2 || n == 0xB3);
}

}  // namespace

bool IsSafeEntryName(const char* name) noexcept {
    const std::string_view text(name);
    if (text.empty() || IsSeparator(text.front())) return false;
    if (text.find(':') != std::string_view::npos) return false;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= text.size(); ++i) {
        if (i == text.size() || IsSeparator(text[i])) {
            const std::string_view component = text.substr(start, i - start);
            if (NamesParent(component) || NamesDevice(component)) return false;
            start = i + 1;
        }
    }
    return true;
}

}  // namespace axqvr
