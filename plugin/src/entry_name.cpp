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

}  // namespace

bool IsSafeEntryName(const char* name) noexcept {
    const std::string_view text(name);
    if (text.empty() || IsSeparator(text.front())) return false;
    if (text.find(':') != std::string_view::npos) return false;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= text.size(); ++i) {
        if (i == text.size() || IsSeparator(text[i])) {
            if (NamesParent(text.substr(start, i - start))) return false;
            start = i + 1;
        }
    }
    return true;
}

}  // namespace axqvr
