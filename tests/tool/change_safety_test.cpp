// The hold a change has on its archive, in process: which archives are
// refused, what happens when the name is taken away while the new archive
// is written, who waits for whom, who the new archive belongs to, and that
// an unfinished output has no name anyone can see.
#include <sys/file.h>
#include <sys/stat.h>

#include <algorithm>
#include <functional>
#include <optional>
#include <thread>

#include "platform/platform.h"
#include "tool_test_support.h"

namespace qvr::tooltest {
namespace {

using cli::ChangeTarget;
using cli::CommitStatus;
using cli::Result;

class ChangeSafety : public Scratch {
protected:
    // An "archive" for these tests: any bytes do, nothing here parses them.
    fs::path Make(const std::string& name, const std::string& text = "old archive") {
        WriteFile(dir / name, B(text));
        return dir / name;
    }
    using Opened = Result<ChangeTarget, ChangeTarget::Refused>;
    static Opened Open(const fs::path& p, bool wait = false, bool breakLinks = false) {
        return ChangeTarget::Open(p, wait, breakLinks, nullptr);
    }
    static std::string Why(const Opened& opened) { return opened ? std::string() : opened.error();
    }
    // Writes `text` as the replacement and puts it in place.
    static std::optional<CommitStatus> Replace(ChangeTarget& target, const std::string& text, std::string& error) {
        auto temp = target.CreateReplacement();
        EXPECT_TRUE(temp) << (temp ? "" : temp.error());
        if (!temp) return std::nullopt;
        EXPECT_EQ(target.KeepOwnership(*temp), "");
        EXPECT_TRUE(cli::WriteAll(temp->Handle(), B(text)));
        return StatusOf(target.Replace(*temp), error);
    }
    // The status, or nullopt with `error` said.
    static std::optional<CommitStatus> StatusOf(const cli::Result<CommitStatus>& result, std::string& error) {
        if (result) return *result;
        error = result.error();
        return std::nullopt;
    }
    std::vector<std::string> Names() const {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
};

TEST_F(ChangeSafety, WhatIsRefusedAndWhy) {
    const auto plain = Make("a.qvr");
    fs::create_hard_link(plain, dir / "second-name.qvr");
    fs::create_directory(dir / "folder.qvr");
    const auto lone = Make("lone.qvr");
    fs::create_symlink("lone.qvr", dir / "link.qvr");
    fs::create_symlink("missing.qvr", dir / "dangling.qvr");

    struct Row {
        const char* what;
        fs::path path;
        bool breakLinks;
        std::optional<ChangeTarget::Refusal> refusal;  // nullopt: opened
        const char* says;
    };
    const Row rows[] = {
        {"a second hard link", plain, false, ChangeTarget::Refusal::HardLinks, "hard links"},
        {"a second hard link, --break-links", plain, true, std::nullopt, ""},
        {"a folder", dir / "folder.qvr", false, ChangeTarget::Refusal::NotAFile, "not a file"},
        {"a link to an archive: its target", dir / "link.qvr", false, std::nullopt, ""},
        {"a link to nothing", dir / "dangling.qvr", false, ChangeTarget::Refusal::Failed, "cannot"},
        {"nothing at all", dir / "none.qvr", false, ChangeTarget::Refusal::Failed, "No such file"},
    };
    for (const auto& row : rows) {
        auto opened = Open(row.path, false, row.breakLinks);
        EXPECT_EQ(opened.has_value(), !row.refusal) << row.what << ": " << Why(opened);
        if (row.refusal) {
            EXPECT_EQ(opened.failure().why, *row.refusal) << row.what;
            EXPECT_NE(opened.error().find(row.says), std::string::npos) << row.what << ": " << opened.error();
        }
    }
    // The link stays a link, and its target is what changes.
    auto opened = Open(dir / "link.qvr");
    ASSERT_TRUE(opened) << Why(opened);
    std::string error;
    EXPECT_EQ(Replace(*opened, "new archive", error), CommitStatus::Placed) << error;
    EXPECT_TRUE(fs::is_symlink(dir / "link.qvr"));
    EXPECT_EQ(ReadFile(lone), B("new archive"));
}

TEST_F(ChangeSafety, AReadOnlyArchiveIsRefusedToAnyoneItRefuses) {
    const auto archive = Make("a.qvr");
    fs::permissions(archive, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    auto opened = Open(archive);
    if (geteuid() == 0) {
        // Root may write it, as every other program lets root.
        EXPECT_TRUE(opened) << Why(opened);
    } else {
        EXPECT_FALSE(opened);
        EXPECT_EQ(opened.failure().why, ChangeTarget::Refusal::NotWritable);
        EXPECT_NE(opened.error().find("may not be written"), std::string::npos) << opened.error();
    }
}

// Whatever takes the archive's name while the change is written (another
// file, a link to a file someone else owns), the change lands nowhere.
TEST_F(ChangeSafety, ANameTakenAwayMeanwhileIsNeverWrittenThrough) {
    const auto victim = Make("victim", "not to be touched");
    struct Row {
        const char* what;
        std::function<void(const fs::path&)> swap;
    };
    const Row rows[] = {
        {"replaced by another file", [&](const fs::path& a) { WriteFile(dir / "other", B("other")), fs::rename(dir / "other", a); }},
        {"replaced by a link", [&](const fs::path& a) { fs::remove(a), fs::create_symlink(victim, a); }},
        {"removed", [&](const fs::path& a) { fs::remove(a); }},
    };
    for (const auto& row : rows) {
        const auto archive = Make("a.qvr");
        auto opened = Open(archive);
        ASSERT_TRUE(opened) << Why(opened);
        std::string error;
        auto temp = opened->CreateReplacement();
        ASSERT_TRUE(temp) << temp.error();
        ASSERT_TRUE(cli::WriteAll(temp->Handle(), B("changed archive")));
        row.swap(archive);
        EXPECT_EQ(StatusOf(opened->Replace(*temp), error), CommitStatus::Changed) << row.what;
        EXPECT_EQ(ReadFile(victim), B("not to be touched")) << row.what;
        EXPECT_NE(ReadFile(archive), B("changed archive")) << row.what;
        EXPECT_TRUE(Leftovers(dir).empty()) << row.what;
        fs::remove(archive);
    }
}

TEST_F(ChangeSafety, OneWriterAtATime) {
    const auto archive = Make("a.qvr");
    auto first = Open(archive);
    ASSERT_TRUE(first) << Why(first);
    // Not waiting: refused at once, nothing changed.
    auto busy = Open(archive, false);
    EXPECT_FALSE(busy);
    EXPECT_EQ(busy.failure().why, ChangeTarget::Refusal::Busy);
    EXPECT_NE(busy.error().find("another qvr"), std::string::npos) << busy.error();
    // Waiting: whenever the waiter starts, it ends up holding the archive the
    // first change left, never the one it replaced.
    std::optional<Opened> second;
    std::thread waiter([&] { second.emplace(Open(archive, true)); });
    std::string error;
    EXPECT_EQ(Replace(*first, "after the first change", error), CommitStatus::Placed) << error;
    waiter.join();
    ASSERT_TRUE(second && *second) << (second ? Why(*second) : "");
    EXPECT_EQ(Replace(**second, "after the second change", error), CommitStatus::Placed) << error;
    EXPECT_EQ(ReadFile(archive), B("after the second change"));
}

TEST_F(ChangeSafety, TheNewArchiveKeepsOwnerGroupAndMode) {
    const auto archive = Make("a.qvr");
    const bool root = geteuid() == 0;
    // As root, someone else's archive; otherwise one's own.
    const uid_t owner = root ? 65534 : geteuid();
    const gid_t group = root ? 65534 : getegid();
    ASSERT_EQ(chown(archive.c_str(), owner, group), 0);
    for (const mode_t mode : {mode_t{0600}, mode_t{0640}, mode_t{0604}, mode_t{root ? 06750u : 0750u}}) {
        ASSERT_EQ(chmod(archive.c_str(), mode), 0);
        auto opened = Open(archive);
        ASSERT_TRUE(opened) << Why(opened);
        std::string error;
        ASSERT_EQ(Replace(*opened, "changed", error), CommitStatus::Placed) << error;
        struct stat st {};
        ASSERT_EQ(stat(archive.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, mode) << std::oct << mode;
        EXPECT_EQ(st.st_uid, owner);
        EXPECT_EQ(st.st_gid, group);
    }
}

// Until it is complete an output has no name: nobody can open it, and a
// process killed outright leaves nothing behind.
TEST_F(ChangeSafety, AnUnfinishedOutputHasNoName) {
    std::string error;
    auto folder = cli::Folder::OpenRoot(dir, false);
    ASSERT_TRUE(folder) << folder.error();
    const mode_t mask = umask(022);
    auto temp = folder->CreateTemp();
    ASSERT_TRUE(temp) << temp.error();
    ASSERT_TRUE(cli::WriteAll(temp->Handle(), B("entry data")));
    EXPECT_TRUE(Names().empty());
    EXPECT_EQ(StatusOf(temp->Commit("out.txt", false), error), CommitStatus::Placed) << error;
    EXPECT_EQ(Names(), std::vector<std::string>{"out.txt"});
    EXPECT_EQ(fs::status(dir / "out.txt").permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read);
    // Not replacing: an existing name is kept, and nothing is left.
    auto again = folder->CreateTemp();
    ASSERT_TRUE(again) << again.error();
    EXPECT_EQ(StatusOf(again->Commit("out.txt", false), error), CommitStatus::Exists);
    // Replacing works through a name of its own, gone afterwards.
    auto replacing = folder->CreateTemp();
    ASSERT_TRUE(replacing) << replacing.error();
    ASSERT_TRUE(cli::WriteAll(replacing->Handle(), B("new data")));
    EXPECT_EQ(StatusOf(replacing->Commit("out.txt", true), error), CommitStatus::Placed) << error;
    EXPECT_EQ(Names(), std::vector<std::string>{"out.txt"});
    EXPECT_EQ(ReadFile(dir / "out.txt"), B("new data"));
    umask(mask);
}

// An extracted file, made or replacing, ends with the usual bits under the
// umask in force when it is made, though nothing changes them after.
TEST_F(ChangeSafety, AnOutputMadeWithTheUsualBitsKeepsThem) {
    auto folder = cli::Folder::OpenRoot(dir, false);
    ASSERT_TRUE(folder) << folder.error();
    const mode_t before = umask(0);
    for (const mode_t mask : {mode_t{022}, mode_t{027}, mode_t{077}, mode_t{0}})
        for (const bool overwrite : {false, true}) {
            umask(mask);
            auto temp = folder->CreateTemp(cli::TempBits::Usual);
            ASSERT_TRUE(temp) << temp.error();
            std::string error;
            EXPECT_EQ(StatusOf(temp->Commit("out.txt", overwrite), error), CommitStatus::Placed) << error;
            struct stat st {};
            ASSERT_EQ(stat((dir / "out.txt").c_str(), &st), 0);
            EXPECT_EQ(st.st_mode & 07777, 0666 & ~mask) << std::oct << mask << (overwrite ? " replacing" : "");
            ASSERT_EQ(unlink((dir / "out.txt").c_str()), 0);
        }
    umask(before);
}

}  // namespace
}  // namespace qvr::tooltest
