// Gathering, in process, over a table of trees: what is stored, what is
// skipped and what refuses the whole command, the same whether the inputs
// come as arguments or from a -T list; then packing what was gathered, with
// files that change in between.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>

#include "commands/exit_status.h"
#include "commands/pack.h"
#include "qvr/writer.h"
#include "tool_test_support.h"

namespace qvr::tooltest {
namespace {

struct Gathering {
    std::optional<int> status;
    std::vector<std::string> names;  // stored, in order
    std::uint64_t skipped = 0;
    std::string said;  // standard error
};

class GatherTable : public Scratch {
protected:
    // Gathers `arguments` relative to dir, or the same names read as a list.
    Gathering Run(const std::vector<std::string>& arguments, bool asList, bool noFollow = false,
                  bool ignoreFailedRead = false, std::vector<std::string> excludes = {}) {
        cli::CreateOptions options;
        options.noFollow = noFollow;
        options.ignoreFailedRead = ignoreFailedRead;
        options.excludes = std::move(excludes);
        if (asList) {
            std::string list;
            for (const auto& a : arguments) list += a + "\n";
            WriteFile(dir / "list", B(list));
            options.filesFrom = {dir / "list", dir};
        } else {
            for (const auto& a : arguments) options.inputs.push_back({a, dir});
        }
        cli::Reporter reporter("test");
        Gathering out;
        testing::internal::CaptureStderr();
        cli::Gathered gathered;
        auto codec = cli::PrepareInputs(options, reporter);
        if (!codec) {
            out.status = codec.failure().status;
        } else if (auto made = cli::GatherInputs(options, *codec, reporter, std::nullopt); !made) {
            out.status = made.failure().status;
        } else {
            gathered = std::move(*made);
        }
        out.said = testing::internal::GetCapturedStderr();
        for (const auto& in : gathered.inputs) out.names.emplace_back(in.name.begin(), in.name.end());
        out.skipped = gathered.skipped;
        return out;
    }
};

struct Row {
    const char* what;
    std::function<void(const fs::path&)> make;  // builds the tree under dir
    std::vector<std::string> arguments;
    bool noFollow = false;
    bool ignoreFailedRead = false;
    std::optional<int> status;  // nullopt: gathered
    std::vector<std::string> names;
    std::uint64_t skipped = 0;
    const char* said = "";  // a part of what is said
};

void Link(const fs::path& target, const fs::path& at) { fs::create_symlink(target, at); }

const std::vector<Row>& Rows() {
    static const std::vector<Row> rows = {
        {"files and folders, in byte order",
         [](const fs::path& d) {
             WriteFile(d / "t" / "b", B("b"));
             WriteFile(d / "t" / "a" / "x", B("x"));
             WriteFile(d / "t" / "C", B("C"));
         },
         {"t"}, false, false, std::nullopt, {"t\\C", "t\\a\\x", "t\\b"}},
        {"links followed to a file and to a folder",
         [](const fs::path& d) {
             WriteFile(d / "t" / "f", B("f"));
             WriteFile(d / "o" / "g", B("g"));
             Link("f", d / "t" / "lf");
             Link("../o", d / "t" / "ld");
         },
         {"t"}, false, false, std::nullopt, {"t\\f", "t\\ld\\g", "t\\lf"}},
        {"links left out with --no-follow",
         [](const fs::path& d) {
             WriteFile(d / "t" / "f", B("f"));
             Link("f", d / "t" / "lf");
         },
         {"t", "t/lf"}, true, false, std::nullopt, {"t\\f"}, 2, "symbolic link; skipped (--no-follow)"},
        {"a link back to a folder being walked",
         [](const fs::path& d) {
             WriteFile(d / "t" / "s" / "f", B("f"));
             Link("..", d / "t" / "s" / "up");
         },
         {"t"}, false, false, cli::ExitSomeFailed, {}, 0, "symbolic link loop"},
        {"a link to nothing refuses",
         [](const fs::path& d) {
             WriteFile(d / "t" / "f", B("f"));
             Link("gone", d / "t" / "dangling");
         },
         {"t"}, false, false, cli::ExitSomeFailed, {}, 0, "symbolic link to nothing"},
        {"a link to nothing skipped with --ignore-failed-read",
         [](const fs::path& d) {
             WriteFile(d / "t" / "f", B("f"));
             Link("gone", d / "t" / "dangling");
         },
         {"t"}, false, true, std::nullopt, {"t\\f"}, 1, "symbolic link to nothing; skipped (--ignore-failed-read)"},
        {"an empty folder is named, not stored",
         [](const fs::path& d) {
             WriteFile(d / "t" / "f", B("f"));
             fs::create_directories(d / "t" / "e");
         },
         {"t"}, false, false, std::nullopt, {"t\\f"}, 0, "empty folder; not stored"},
        {"a FIFO is skipped",
         [](const fs::path& d) {
             WriteFile(d / "t" / "f", B("f"));
             ASSERT_EQ(mkfifo((d / "t" / "p").c_str(), 0600), 0);
         },
         {"t"}, false, false, std::nullopt, {"t\\f"}, 1, "not a file or folder; skipped"},
        {"a device name refuses everything",
         [](const fs::path& d) {
             WriteFile(d / "t" / "f", B("f"));
             WriteFile(d / "t" / "nul.txt", B("n"));
         },
         {"t"}, false, false, cli::ExitSomeFailed, {}, 0, "name would be refused on extraction"},
        {"a colon refuses everything",
         [](const fs::path& d) { WriteFile(d / "t" / "a:b", B("c")); },
         {"t"}, false, false, cli::ExitSomeFailed, {}, 0, "name would be refused on extraction"},
        {"a backslash in a folder's name refuses its files",
         [](const fs::path& d) { WriteFile(d / "t" / "a\\b" / "f", B("f")); },
         {"t"}, false, false, cli::ExitSomeFailed, {}, 0, "backslash in a file name"},
        {"names differing only in case refuse",
         [](const fs::path& d) {
             WriteFile(d / "t" / "A.txt", B("1"));
             WriteFile(d / "t" / "a.txt", B("2"));
         },
         {"t"}, false, false, cli::ExitSomeFailed, {}, 0, "differ only in case"},
        {"a file named twice is stored once",
         [](const fs::path& d) { WriteFile(d / "t" / "f", B("f")); },
         {"t/f", "t", "./t//f"}, false, false, std::nullopt, {"t\\f"}},
        {"a missing input refuses",
         [](const fs::path& d) { WriteFile(d / "t" / "f", B("f")); },
         {"t/f", "t/g", "u/f"}, false, false, cli::ExitSomeFailed, {}, 0, "No such file or directory"},
        {"a name climbing out is a mistake of the arguments",
         [](const fs::path& d) { WriteFile(d / "t" / "f", B("f")); },
         {"t/f", "../t/f"}, false, false, cli::ExitBadUsage, {}, 0, "climb out of the current folder"},
    };
    return rows;
}

TEST_F(GatherTable, ArgumentsAndListsGatherAlike) {
    for (const auto& row : Rows()) {
        for (const bool asList : {false, true}) {
            SCOPED_TRACE(std::string(row.what) + (asList ? ", as a list" : ", as arguments"));
            fs::remove_all(dir);
            fs::create_directories(dir);
            row.make(dir);
            const auto got = Run(row.arguments, asList, row.noFollow, row.ignoreFailedRead);
            EXPECT_EQ(got.status, row.status) << got.said;
            if (!row.status) {
                EXPECT_EQ(got.names, row.names);
            }
            EXPECT_EQ(got.skipped, row.skipped) << got.said;
            EXPECT_NE(got.said.find(row.said), std::string::npos) << got.said;
        }
    }
}

TEST_F(GatherTable, AnUnreadableFileRefusesOrIsSkipped) {
    if (geteuid() == 0) GTEST_SKIP() << "root reads every file";
    WriteFile(dir / "t" / "f", B("f"));
    WriteFile(dir / "t" / "secret", B("s"));
    fs::permissions(dir / "t" / "secret", fs::perms::none);
    const auto refused = Run({"t"}, false);
    EXPECT_EQ(refused.status, cli::ExitSomeFailed);
    EXPECT_NE(refused.said.find("secret: Permission denied"), std::string::npos) << refused.said;
    const auto skipped = Run({"t"}, true, false, true);
    EXPECT_EQ(skipped.status, std::nullopt);
    EXPECT_EQ(skipped.names, std::vector<std::string>{"t\\f"});
    EXPECT_EQ(skipped.skipped, 1u);
}

TEST_F(GatherTable, ExcludedFoldersAreNotWalked) {
    WriteFile(dir / "t" / "keep", B("k"));
    WriteFile(dir / "t" / "skip" / "f", B("f"));
    Link("..", dir / "t" / "skip" / "loop");  // walked, it would refuse the command
    for (const bool asList : {false, true}) {
        const auto got = Run({"t", "t/skip/f"}, asList, false, false, {"skip"});
        EXPECT_EQ(got.status, std::nullopt) << got.said;
        EXPECT_EQ(got.names, std::vector<std::string>{"t\\keep"});
    }
}

// Packing what was gathered: the held small files and the copied large
// ones come out in order, scrambled, and a file changed in between is
// caught.
class Packing : public Scratch {
protected:
    std::vector<cli::Input> Gather(const std::vector<std::string>& names) {
        cli::CreateOptions options;
        for (const auto& n : names) options.inputs.push_back({n, dir});
        cli::Reporter reporter("test");
        auto gathered = cli::GatherInputs(options, cli::NameCodec::PassThrough(), reporter, std::nullopt);
        EXPECT_TRUE(gathered);
        return gathered ? std::move(gathered->inputs) : std::vector<cli::Input>{};
    }
    // Packs `inputs` into a file; what was said and the bytes written.
    std::pair<std::string, Bytes> Pack(const std::vector<cli::Input>& inputs, bool& ok) {
        const auto out = dir / "out";
        cli::File to(open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
        cli::Reporter reporter("test");
        testing::internal::CaptureStderr();
        cli::Packer packer(to.Get(), false, true, reporter);
        ok = true;
        for (const auto& in : inputs) ok = ok && packer.Pack(in);
        ok = packer.Finish() && ok && !reporter.AnyFailed();
        return {testing::internal::GetCapturedStderr(), ReadFile(out)};
    }
};

TEST_F(Packing, SmallAndLargeFilesComeOutInOrderScrambled) {
    std::vector<Bytes> contents;
    std::vector<std::string> names;
    // Enough small files to fill the held bytes more than once, a large one
    // between them, and empty ones.
    for (std::size_t i = 0; i < 40; ++i) {
        const std::size_t size = i == 7 ? (std::size_t{3} << 20) + 5 : i % 5 == 0 ? 0 : 60000 + i;
        contents.push_back(Pattern(size, static_cast<std::uint8_t>(i)));
        names.push_back("t/" + std::to_string(100 + i));
        WriteFile(dir / names.back(), contents.back());
    }
    Bytes expected;
    for (auto c : contents) {
        ScrambleContent(c);
        expected.insert(expected.end(), c.begin(), c.end());
    }
    bool ok = false;
    const auto [said, written] = Pack(Gather(names), ok);
    EXPECT_TRUE(ok) << said;
    EXPECT_EQ(written.size(), expected.size());
    EXPECT_TRUE(written == expected);
}

TEST_F(Packing, FilesChangedAfterGatheringAreCaught) {
    struct Change {
        const char* what;
        std::size_t size;
        std::function<void(const fs::path&)> change;
        bool packed;      // Pack succeeds (the output stays whole)
        const char* said;
    };
    const Change rows[] = {
        {"a small file grew", 1000, [](const fs::path& f) { WriteFile(f, Pattern(1500, 1)); }, true,
         "changed as it was read; its first 1000 bytes were stored"},
        {"a large file grew", 100000, [](const fs::path& f) { WriteFile(f, Pattern(150000, 1)); }, true,
         "changed as it was read; its first 100000 bytes were stored"},
        {"a small file shrank", 1000, [](const fs::path& f) { WriteFile(f, Pattern(10, 1)); }, false,
         "shrank while being packed"},
        {"replaced by another file", 1000,
         [](const fs::path& f) {
             WriteFile(f.parent_path() / "other", Pattern(1000, 1));
             fs::rename(f.parent_path() / "other", f);
         },
         false, "was replaced by another file after it was checked"},
        {"removed", 1000, [](const fs::path& f) { fs::remove(f); }, false, "No such file or directory"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        const auto file = dir / "t" / "f";
        WriteFile(file, Pattern(row.size, 0));
        const auto inputs = Gather({"t/f"});
        ASSERT_EQ(inputs.size(), 1u);
        row.change(file);
        bool ok = true;
        const auto [said, written] = Pack(inputs, ok);
        EXPECT_FALSE(ok);
        EXPECT_NE(said.find(row.said), std::string::npos) << said;
        if (row.packed) {
            ASSERT_EQ(written.size(), row.size);
            auto first = Pattern(row.size + 500, 1);
            first.resize(row.size);
            ScrambleContent(first);
            EXPECT_TRUE(written == first);
        }
        fs::remove_all(dir / "t");
    }
}

}  // namespace
}  // namespace qvr::tooltest
