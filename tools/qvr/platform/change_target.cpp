// The archive a change works on: what every system does alike. The name
// is resolved once, here; from then on the folder is reached only through
// its open handle, and the file is opened in it without following a link.
#include <fmt/format.h>

#include "platform/platform.h"

namespace qvr::cli {

namespace fs = std::filesystem;

ChangeTarget::ChangeTarget(ChangeTarget&&) noexcept = default;
ChangeTarget::~ChangeTarget() = default;

ChangeTarget::Opened ChangeTarget::Open(const fs::path& archive, bool wait, bool breakLinks,
                                        const std::function<void()>& onWait) {
    Opened out;
    std::error_code ec;
    fs::path target = archive;
    if (fs::is_symlink(archive, ec)) {
        target = fs::canonical(archive, ec);
        if (ec) {
            out.error = "cannot follow the link: " + ec.message();
            return out;
        }
    }
    if (!target.has_filename()) {
        out.refusal = Refusal::NotAFile;
        out.error = "not a file";
        return out;
    }
    const fs::path leaf = target.filename();
    auto folder = Folder::OpenRoot(target.has_parent_path() ? target.parent_path() : fs::path("."), false);
    if (!folder) {
        out.error = "cannot open its folder: " + folder.error();
        return out;
    }
    bool waited = false;
    // A change that finished while this one waited has put a new file under
    // the name: the lock on the old one is worth nothing, so take the new one.
    for (int attempt = 0; attempt < 1000; ++attempt) {
        auto candidate = OpenCandidate(*folder, leaf, out.refusal);
        if (!candidate) {
            out.error = candidate.error();
            return out;
        }
        const auto locked = Lock(candidate->file, false);
        if (!locked) {
            out.refusal = Refusal::Failed;
            out.error = "cannot lock it: " + locked.error();
            return out;
        }
        if (!*locked) {
            if (!wait) {
                out.refusal = Refusal::Busy;
                out.error = "another qvr is changing it (--no-wait); not changed";
                return out;
            }
            if (!waited && onWait) onWait();
            waited = true;
            if (const auto waitedFor = Lock(candidate->file, true); !waitedFor) {
                out.refusal = Refusal::Failed;
                out.error = "cannot lock it: " + waitedFor.error();
                return out;
            }
        }
        if (folder->IdentityOf(leaf) != candidate->identity) continue;
        if (const auto names = NameCount(candidate->file); names > 1 && !breakLinks) {
            out.refusal = Refusal::HardLinks;
            out.error = fmt::format("it has {} other names (hard links), which would keep the old archive; not "
                                    "changed (--break-links changes this name only)",
                                    names - 1);
            return out;
        }
        ChangeTarget held;
        held.folder_ = std::move(*folder);
        held.leaf_ = leaf;
        held.file_ = std::move(candidate->file);
        held.identity_ = candidate->identity;
        out.target.emplace(std::move(held));
        return out;
    }
    out.refusal = Refusal::Failed;
    out.error = "it keeps being replaced; not changed";
    return out;
}

Result<TempOutput> ChangeTarget::CreateReplacement() const {
    return folder_->CreateTemp();
}

}  // namespace qvr::cli
