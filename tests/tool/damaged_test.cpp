// Damaged archives: every readable entry still comes out, the damage is
// reported with the entry's index, and the exit status says so.
#include <csignal>

#include "tool_test_support.h"

namespace qvr::tooltest {
namespace {

class Damaged : public Scratch {
protected:
    std::vector<WriterEntry> entries{{B("a.txt"), Pattern(100, 1)},
                                     {B("b.bin"), Pattern(200000, 2)},
                                     {B("c.txt"), Pattern(300, 3)}};
};

TEST_F(Damaged, TruncatedEntryIsSkippedNeverPadded) {
    auto bytes = Archive(entries);
    bytes.erase(bytes.end() - (300 + 1000), bytes.end());  // c.txt gone entirely, b.bin short by 1000 bytes
    WriteFile(dir / "t.qvr", bytes);
    const auto r = RunQvr({"extract", "t.qvr", "-C", "out"}, dir);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(ReadFile(dir / "out" / "a.txt"), Pattern(100, 1));
    EXPECT_FALSE(fs::exists(dir / "out" / "b.bin"));
    EXPECT_FALSE(fs::exists(dir / "out" / "c.txt"));
    EXPECT_NE(r.err.find("t.qvr: entry 1 'b.bin': truncated: the archive holds 199000 of its 200000 bytes"),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("entry 2 'c.txt': truncated"), std::string::npos) << r.err;
    EXPECT_TRUE(Leftovers(dir).empty());

    const auto o = RunQvr({"extract", "-O", "t.qvr", "b.bin"}, dir);
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.out, "");

    const auto t = RunQvr({"test", "t.qvr"}, dir);
    EXPECT_EQ(t.status, 1);
    EXPECT_NE(t.err.find("entry 1 'b.bin': data run to byte"), std::string::npos) << t.err;
}

// Small neighbours are read many at a time: every entry still comes out
// whole and descrambled, whatever the sizes (none, under and over the
// scrambled head, over a whole read), and a cut ends the run at the right
// entry, however the entries fall into reads.
TEST_F(Damaged, EntriesReadTogetherComeOutAsReadAlone) {
    std::vector<WriterEntry> many;
    std::map<std::string, Bytes> whole;
    const std::size_t sizes[] = {0, 1, 49, 50, 51, 300, 4096, 70000, 300000};
    for (std::size_t i = 0; i < 200; ++i) {
        const std::string name = "f" + std::to_string(i);
        many.push_back({B(name), Pattern(sizes[i % std::size(sizes)] + i, static_cast<std::uint8_t>(i))});
        whole[name] = many.back().content;
    }
    const auto sound = Archive(many);
    for (const std::size_t cut : {std::size_t{0}, std::size_t{1}, std::size_t{3000000}, std::size_t{7654321}}) {
        if (cut >= sound.size()) continue;
        auto bytes = sound;
        bytes.erase(bytes.end() - static_cast<std::ptrdiff_t>(cut), bytes.end());
        WriteFile(dir / "m.qvr", bytes);
        fs::remove_all(dir / "out");
        const auto r = RunQvr({"extract", "m.qvr", "-C", "out"}, dir);
        EXPECT_EQ(r.status, cut == 0 ? 0 : 1) << cut << ": " << r.err;
        // What is there is whole; exactly the entries that end past the cut
        // are missing. The writer lays the data after the directory, in order.
        const auto tree = Tree(dir / "out");
        std::size_t dataStart = sound.size();
        for (const auto& e : many) dataStart -= e.content.size();
        std::size_t at = dataStart;
        for (const auto& e : many) {
            const std::string name(e.name.begin(), e.name.end());
            at += e.content.size();
            const bool present = at <= bytes.size();
            EXPECT_EQ(tree.count(name), present ? 1u : 0u) << cut << ": " << name;
            if (present && tree.count(name)) {
                EXPECT_EQ(tree.at(name), whole[name]) << cut << ": " << name;
            }
        }
    }
}

TEST_F(Damaged, DirectoryCutShortStillListsWhatIsThere) {
    auto bytes = Archive(entries);
    StoreU16(std::span(bytes).subspan(EntryCountOffset).first<2>(), 5);  // two more than the directory holds
    WriteFile(dir / "c.qvr", bytes);
    const auto l = RunQvr({"list", "c.qvr"}, dir);
    EXPECT_EQ(l.status, 1);
    EXPECT_EQ(l.out, "a.txt\nb.bin\nc.txt\n");
    EXPECT_NE(l.err.find("directory ends inside entry 3"), std::string::npos) << l.err;

    const auto x = RunQvr({"extract", "c.qvr", "-C", "out"}, dir);
    EXPECT_EQ(x.status, 1);
    EXPECT_EQ(Tree(dir / "out").size(), 3u);
    EXPECT_EQ(RunQvr({"test", "c.qvr"}, dir).status, 1);
}

TEST_F(Damaged, OverlappingDataAreReportedByTest) {
    auto bytes = Archive({{B("x"), Pattern(10, 1)}, {B("y"), Pattern(10, 2)}});
    const std::size_t secondOffsetAt = HeaderSize + EntrySize(1) + EntryDataOffsetOffset(1);
    StoreU32(std::span(bytes).subspan(secondOffsetAt).first<4>(), HeaderSize + 2 * EntrySize(1) + 5);
    WriteFile(dir / "o.qvr", bytes);
    const auto t = RunQvr({"test", "o.qvr"}, dir);
    EXPECT_EQ(t.status, 1);
    EXPECT_NE(t.err.find("entry 1: data at bytes 61 to 70 overlap those of entry 0"), std::string::npos) << t.err;
}

TEST_F(Damaged, NotAnArchiveIsStatusTwo) {
    WriteFile(dir / "plain.txt", B("QVRx not an archive at all"));
    for (const char* command : {"list", "extract", "test"}) {
        const auto r = RunQvr({command, "plain.txt"}, dir);
        EXPECT_EQ(r.status, 2) << command;
        EXPECT_NE(r.err.find("plain.txt: not a QVR archive"), std::string::npos) << r.err;
    }
    const auto missing = RunQvr({"list", "missing.qvr"}, dir);
    EXPECT_EQ(missing.status, 2);
    EXPECT_NE(missing.err.find("missing.qvr: cannot open"), std::string::npos) << missing.err;
}

// test fails for every archive that extract cannot write whole into an
// empty folder: over the damaged archives above and names that collide.
TEST_F(Damaged, TestFailsWheneverExtractionIntoAnEmptyFolderWould) {
    auto truncated = Archive(entries);
    truncated.erase(truncated.end() - 1300, truncated.end());
    auto cutShort = Archive(entries);
    StoreU16(std::span(cutShort).subspan(EntryCountOffset).first<2>(), 5);
    auto overlapping = Archive({{B("x"), Pattern(10, 1)}, {B("y"), Pattern(10, 2)}});
    StoreU32(std::span(overlapping).subspan(HeaderSize + EntrySize(1) + EntryDataOffsetOffset(1)).first<4>(),
             HeaderSize + 2 * EntrySize(1) + 5);
    const struct {
        const char* what;
        Bytes archive;
        int extractStatus;  // into an empty folder
    } cases[] = {
        {"truncated", truncated, 1},
        {"directory cut short", cutShort, 1},
        {"overlapping data", overlapping, 0},
        {"sound", Archive(entries), 0},
        {"same name twice", Archive({{B("a"), B("1")}, {B("a"), B("2")}}), 1},
        {"file beside a folder of its name", Archive({{B("a"), B("1")}, {B("a\\b"), B("2")}}), 1},
        {"folder before a file of its name", Archive({{B("a\\b"), B("1")}, {B("a"), B("2")}}), 1},
        {"either separator", Archive({{B("a\\b"), B("1")}, {B("a/b"), B("2")}}), 1},
        {"a dot component", Archive({{B("a\\b"), B("1")}, {B("a\\.\\b"), B("2")}}), 1},
        {"refused name", Archive({{B("ok"), B("1")}, {B("12:00.log"), B("2")}}), 1},
        {"case differs", Archive({{B("A"), B("1")}, {B("a"), B("2")}}), 0},
    };
    for (const auto& c : cases) {
        WriteFile(dir / "case.qvr", c.archive);
        fs::remove_all(dir / "out");
        const auto x = RunQvr({"extract", "case.qvr", "-C", "out"}, dir);
        const auto t = RunQvr({"test", "case.qvr"}, dir);
        EXPECT_EQ(x.status, c.extractStatus) << c.what << ": " << x.err;
        if (std::string_view(c.what) == "file beside a folder of its name") {
            EXPECT_EQ(x.err, "qvr: case.qvr: entry 1 'a\\b': entry 0 is a file where this name needs the folder 'a'; "
                             "skipped\n");
        }
        if (x.status != 0) {
            EXPECT_NE(t.status, 0) << c.what << ": extract said " << x.err;
        } else if (std::string_view(c.what) != "overlapping data") {
            EXPECT_EQ(t.status, 0) << c.what << ": " << t.err;
        }
    }
}

}  // namespace
}  // namespace qvr::tooltest

namespace qvr::tooltest {
namespace {

// An interrupted extraction leaves only complete files under final names
// and no temporary files, wherever the interruption falls.
TEST_F(Damaged, InterruptedExtractionLeavesNoPartialFiles) {
    constexpr std::uintmax_t Size = std::uintmax_t{48} << 20;
    fs::create_directories(dir / "big");
    for (const char* name : {"a", "b", "c", "d"}) {
        std::ofstream(dir / "big" / name).close();
        fs::resize_file(dir / "big" / name, Size);
    }
    ASSERT_EQ(RunQvr({"create", "big.qvr", "-C", "big", "."}, dir).status, 0);

    for (int delayMs : {5, 40, 120}) {
        const auto out = dir / ("out" + std::to_string(delayMs));
        std::vector<std::string> argv{QVR_BINARY, "extract", "-q", "-j1", (dir / "big.qvr").string(), "-C",
                                      out.string()};
        std::vector<char*> cargv;
        for (auto& a : argv) cargv.push_back(a.data());
        cargv.push_back(nullptr);
        pid_t pid = 0;
        ASSERT_EQ(posix_spawn(&pid, QVR_BINARY, nullptr, nullptr, cargv.data(), environ), 0);
        usleep(static_cast<useconds_t>(delayMs) * 1000);
        kill(pid, SIGINT);
        int status = 0;
        waitpid(pid, &status, 0);
        if (fs::exists(out)) {
            for (const auto& e : fs::recursive_directory_iterator(out)) {
                EXPECT_EQ(fs::file_size(e.path()), Size) << e.path();
            }
        }
        EXPECT_TRUE(Leftovers(out).empty()) << delayMs;
    }
}

}  // namespace
}  // namespace qvr::tooltest
