// A stored entry name on its way to disk. Every name the check accepts,
// joined to a target folder and lexically normalised, stays strictly inside
// that folder: the path it gives has no root, no `..` or `.`, no colon, no
// zero byte and no separator hidden inside a component; and the check
// accepts exactly the names for which it gives no reason to refuse.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "safe_path.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> name(data, size);
    const auto path = qvr::cli::SafeRelativePath(name);
    if (path.has_value() != qvr::cli::RefusalReason(name).empty()) std::abort();
    if (!path) return 0;
    if (path->empty() || path->has_root_name() || path->has_root_directory()) std::abort();
    for (const auto& part : *path) {
        const auto text = part.string();
        if (text.empty() || text == "." || text == ".." ||
            text.find_first_of(std::string{':', '\0', '/', '\\'}) != std::string::npos)
            std::abort();
    }
    const std::filesystem::path target = "/srv/target";
    const auto joined = (target / *path).lexically_normal();
    const auto [t, j] = std::mismatch(target.begin(), target.end(), joined.begin(), joined.end());
    if (t != target.end() || j == joined.end()) std::abort();  // outside, or the folder itself
    return 0;
}
