#include "names/placement.h"

#include <fmt/format.h>

#include "names/safe_path.h"

namespace qvr::cli {
namespace {

// Paths as the file system compares them: Windows folds case.
std::string Key(const std::filesystem::path& path) {
    std::string key = path.generic_string();
#ifdef _WIN32
    for (auto& c : key)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 0x20);
#endif
    return key;
}

}  // namespace

Place Placer::Add(std::uint32_t index, std::span<const std::uint8_t> name) {
    Place place;
    auto relative = SafeRelativePath(name, codec_);
    if (!relative) {
        place.outcome = Placing::Refused;
        place.reason = RefusalReason(name, codec_);
        return place;
    }
    const std::string key = Key(*relative);
    if (const auto it = files_.find(key); it != files_.end()) {
        place.outcome = Placing::Duplicate;
        place.earlier = it->second;
        return place;
    }
    if (const auto it = folders_.find(key); it != folders_.end()) {
        place.outcome = Placing::Clash;
        place.earlier = it->second;
        place.reason = fmt::format("entry {} needs this path as a folder", it->second);
        return place;
    }
    // Every folder on the way must not be a file already placed.
    for (auto folder = relative->parent_path(); !folder.empty(); folder = folder.parent_path())
        if (const auto it = files_.find(Key(folder)); it != files_.end()) {
            place.outcome = Placing::Clash;
            place.earlier = it->second;
            place.reason = fmt::format("entry {} is a file where this name needs the folder '{}'", it->second,
                                       folder.generic_string());
            return place;
        }
    for (auto folder = relative->parent_path(); !folder.empty(); folder = folder.parent_path())
        if (!folders_.try_emplace(Key(folder), index).second) break;  // its parents are known too
    files_.emplace(key, index);
    place.relative = std::move(*relative);
    return place;
}

}  // namespace qvr::cli
