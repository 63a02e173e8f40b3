// The archive a change works on: what every system does alike. The name
// is resolved once, here; from then on the folder is reached only through
// its open handle, and the file is opened in it without following a link.
#include <fmt/format.h>

#include "platform/platform.h"

namespace qvr::cli {

namespace fs = std::filesystem;

ChangeTarget::ChangeTarget(ChangeTarget&&) noexcept = default;
ChangeTarget::~ChangeTarget() = default;

Result<ChangeTarget, ChangeTarget::Refused> ChangeTarget::Open(const fs::path& archive, bool wait, bool breakLinks,
                                                              const std::function<void()>& onWait) {
    std::error_code ec;
    fs::path target = archive;
    if (fs::is_symlink(archive, ec)) {
        target = fs::canonical(archive, ec);
        if (ec) return Refused{Refusal::Failed, "cannot follow the link: " + ec.message()};
    }
    if (!target.has_filename()) return Refused{Refusal::NotAFile, "not a file"};
    const fs::path leaf = target.filename();
    auto folder = Folder::OpenRoot(target.has_parent_path() ? target.parent_path() : fs::path("."), false);
    if (!folder) return Refused{Refusal::Failed, "cannot open its folder: " + folder.error()};
    bool waited = false;
    // A change that finished while this one waited has put a new file under
    // the name: the lock on the old one is worth nothing, so take the new one.
    for (int attempt = 0; attempt < 1000; ++attempt) {
        auto candidate = OpenCandidate(*folder, leaf);
        if (!candidate) return candidate.failure();
        const auto locked = Lock(candidate->file, false);
        if (!locked) return Refused{Refusal::Failed, "cannot lock it: " + locked.error()};
        if (!*locked) {
            if (!wait) {
                return Refused{Refusal::Busy, "another qvr is changing it (--no-wait); not changed"};
            }
            if (!waited && onWait) onWait();
            waited = true;
            if (const auto waitedFor = Lock(candidate->file, true); !waitedFor) return Refused{Refusal::Failed, "cannot lock it: " + waitedFor.error()};
        }
        if (folder->IdentityOf(leaf) != candidate->identity) continue;
        if (const auto names = NameCount(candidate->file); names > 1 && !breakLinks) {
            return Refused{Refusal::HardLinks,
                           fmt::format("it has {} other names (hard links), which would keep the old archive; not "
                                       "changed (--break-links changes this name only)",
                                       names - 1)};
        }
        ChangeTarget held;
        held.folder_ = std::move(*folder);
        held.leaf_ = leaf;
        held.file_ = std::move(candidate->file);
        held.identity_ = candidate->identity;
        return held;
    }
    return Refused{Refusal::Failed, "it keeps being replaced; not changed"};
}

Result<TempOutput> ChangeTarget::CreateReplacement() const {
    return folder_->CreateTemp();
}

}  // namespace qvr::cli
