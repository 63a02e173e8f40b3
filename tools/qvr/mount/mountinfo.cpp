#include "mount/mountinfo.h"

#include <algorithm>
#include <fstream>
#include <vector>

namespace qvr::cli {
namespace {

std::string Unescape(std::string_view field) {
    std::string out;
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            const auto octal = field.substr(i + 1, 3);
            if (octal.find_first_not_of("01234567") == std::string_view::npos) {
                out.push_back(static_cast<char>((octal[0] - '0') * 64 + (octal[1] - '0') * 8 + (octal[2] - '0')));
                i += 3;
                continue;
            }
        }
        out.push_back(field[i]);
    }
    return out;
}

}  // namespace

std::optional<MountRecord> MountRecordOf(std::string_view line, const std::filesystem::path& path) {
    // ID PARENT MAJOR:MINOR ROOT MOUNTPOINT OPTIONS [OPTIONAL...] - TYPE SOURCE ...
    std::vector<std::string_view> fields;
    for (std::size_t at = 0; at <= line.size();) {
        const auto end = std::min(line.find(' ', at), line.size());
        fields.push_back(line.substr(at, end - at));
        at = end + 1;
    }
    const auto dash = std::find(fields.begin(), fields.end(), "-");
    if (fields.size() < 5 || dash == fields.end() || dash + 1 == fields.end()) return std::nullopt;
    if (Unescape(fields[4]) != path.native()) return std::nullopt;
    return MountRecord{std::string(fields[2]), std::string(dash[1])};
}

std::optional<MountRecord> MountAt(const std::filesystem::path& path) {
    std::ifstream in("/proc/self/mountinfo");
    std::string line;
    std::optional<MountRecord> last;
    while (std::getline(in, line))
        if (auto record = MountRecordOf(line, path)) last = std::move(record);
    return last;
}

}  // namespace qvr::cli
