// create, list, test and extract give back folder trees byte for byte, and
// extraction reads every shape of archive the writer can make.
#include <set>

#include <nlohmann/json.hpp>

#include "tool_test_support.h"

namespace qvr::tooltest {
namespace {

class RoundTrip : public Scratch {
protected:
    // Files of every awkward size and name.
    void MakeTree(const fs::path& root) {
        WriteFile(root / "empty", {});
        WriteFile(root / "one", B("x"));
        WriteFile(root / "forty-nine", Pattern(49, 1));
        WriteFile(root / "fifty", Pattern(50, 2));
        WriteFile(root / "fifty-one", Pattern(51, 3));
        WriteFile(root / "large.bin", Pattern(3 * 1024 * 1024 + 17, 4));  // past the small-copy path
        WriteFile(root / "with space" / "name with  spaces.txt", B("spaces\n"));
        WriteFile(root / "high\xe9\xff\x80" / "\xc3\xa9t\xc3\xa9.txt", B("accents"));
        WriteFile(root / "a" / "b" / "c" / "deep" / "empty too", {});
        WriteFile(root / ".hidden", B("dot file"));
    }
};

TEST_F(RoundTrip, FolderTreeComesBackByteForByte) {
    MakeTree(dir / "tree");
    ASSERT_EQ(RunQvr({"create", (dir / "a.qvr").string(), "-C", (dir / "tree").string(), "."}).status, 0);

    const auto test = RunQvr({"test", (dir / "a.qvr").string()});
    EXPECT_EQ(test.status, 0) << test.err;
    EXPECT_NE(test.out.find("10 entries, sound"), std::string::npos) << test.out;

    const auto extract = RunQvr({"extract", (dir / "a.qvr").string(), "-C", (dir / "out").string()});
    ASSERT_EQ(extract.status, 0) << extract.err;
    EXPECT_EQ(Tree(dir / "out"), Tree(dir / "tree"));
    EXPECT_TRUE(Leftovers(dir).empty());

    // Packing the extracted tree again gives the same archive: the order is stable.
    ASSERT_EQ(RunQvr({"create", (dir / "b.qvr").string(), "-C", (dir / "out").string(), "."}).status, 0);
    EXPECT_EQ(ReadFile(dir / "a.qvr"), ReadFile(dir / "b.qvr"));
}

TEST_F(RoundTrip, NamesAreRelativeWithBackslashesInSortedOrder) {
    WriteFile(dir / "pack" / "z.txt", B("z"));
    WriteFile(dir / "pack" / "B" / "x", B("x"));
    WriteFile(dir / "pack" / "a.txt", B("a"));
    WriteFile(dir / "top.txt", B("t"));
    ASSERT_EQ(RunQvr({"create", "a.qvr", "top.txt", "pack"}, dir).status, 0);
    const auto list = RunQvr({"list", "a.qvr"}, dir);
    EXPECT_EQ(list.out, "top.txt\npack\\B\\x\npack\\a.txt\npack\\z.txt\n");
}

TEST_F(RoundTrip, ExtractsEveryShapeTheWriterMakes) {
    std::vector<WriterEntry> entries;
    for (std::size_t size : {0u, 1u, 49u, 50u, 51u, 4096u, 70000u})
        entries.push_back({B("size" + std::to_string(size)), Pattern(size, static_cast<std::uint8_t>(size))});
    entries.push_back({Bytes(255, 'n'), B("longest name")});
    entries.push_back({B("dir\\sub\\file"), B("nested")});
    entries.push_back({B("mixed/seps\\file"), B("mixed")});
    WriteFile(dir / "w.qvr", Archive(entries));

    ASSERT_EQ(RunQvr({"test", "w.qvr"}, dir).status, 0);
    const auto extract = RunQvr({"extract", "w.qvr", "-C", "out"}, dir);
    ASSERT_EQ(extract.status, 0) << extract.err;
    for (const auto& e : entries) {
        std::string name(e.name.begin(), e.name.end());
        std::replace(name.begin(), name.end(), '\\', '/');
        EXPECT_EQ(ReadFile(dir / "out" / name), e.content) << name;
    }
}

// Shapes the writer does not make but the format allows: slack after the
// directory, data in reverse order, an empty archive.
TEST_F(RoundTrip, ExtractsHandMadeLayouts) {
    auto bytes = Archive({{B("first"), Pattern(80, 9)}, {B("second"), Pattern(30, 7)}});
    // Move both entries' data back by 100 bytes of slack, swapping their order.
    const std::size_t dirEnd = HeaderSize + EntrySize(5) + EntrySize(6);
    Bytes data(bytes.begin() + static_cast<std::ptrdiff_t>(dirEnd), bytes.end());
    Bytes out(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(dirEnd));
    out.resize(dirEnd + 100, 0xEE);
    const auto second = std::span(data).subspan(80, 30);
    const auto first = std::span(data).first(80);
    out.insert(out.end(), second.begin(), second.end());
    out.insert(out.end(), first.begin(), first.end());
    StoreU32(std::span(out).subspan(HeaderSize + EntryDataOffsetOffset(5)).first<4>(), static_cast<std::uint32_t>(dirEnd + 130));
    StoreU32(std::span(out).subspan(HeaderSize + EntrySize(5) + EntryDataOffsetOffset(6)).first<4>(), static_cast<std::uint32_t>(dirEnd + 100));
    WriteFile(dir / "h.qvr", out);

    EXPECT_EQ(RunQvr({"test", "h.qvr"}, dir).status, 0);
    ASSERT_EQ(RunQvr({"extract", "h.qvr", "-C", "out"}, dir).status, 0);
    EXPECT_EQ(ReadFile(dir / "out" / "first"), Pattern(80, 9));
    EXPECT_EQ(ReadFile(dir / "out" / "second"), Pattern(30, 7));

    WriteFile(dir / "empty.qvr", Archive({}));
    EXPECT_EQ(RunQvr({"extract", "empty.qvr", "-C", "none"}, dir).status, 0);
    EXPECT_EQ(RunQvr({"list", "empty.qvr"}, dir).out, "");
    EXPECT_EQ(RunQvr({"test", "empty.qvr"}, dir).status, 0);
}

TEST_F(RoundTrip, SelectedEntriesByNamePatternAndCase) {
    WriteFile(dir / "s.qvr", Archive({{B("Sound\\BGM.wav"), B("bgm")},
                                      {B("sound\\se.wav"), B("se")},
                                      {B("readme.txt"), B("hello")},
                                      {B("star*name"), B("literal")}}));
    auto r = RunQvr({"extract", "-O", "s.qvr", "readme.txt"}, dir);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "hello");
    r = RunQvr({"extract", "-O", "s.qvr", "sound/*.wav"}, dir);
    EXPECT_EQ(r.out, "se");
    r = RunQvr({"extract", "-O", "--ignore-case", "s.qvr", "SOUND\\*.WAV"}, dir);
    EXPECT_EQ(r.out, "bgmse");
    r = RunQvr({"extract", "-O", "s.qvr", "star*name"}, dir);  // a pattern that also matches itself
    EXPECT_EQ(r.out, "literal");
    r = RunQvr({"extract", "s.qvr", "-C", "sel", "readme.txt", "missing.txt"}, dir);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("no entry matches 'missing.txt'"), std::string::npos) << r.err;
    EXPECT_EQ(Tree(dir / "sel").size(), 1u);
}

// Each tricky name either comes back exactly or is refused by create,
// which then writes nothing and names the file.
TEST_F(RoundTrip, EveryNameComesBackOrCreateRefusesIt) {
    const struct {
        std::string path;
        std::string encoding;
        bool comesBack;
    } cases[] = {
        {"a[1].txt", "", true},
        {"\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e.txt", "", true},  // 日本語.txt
        {"..a/.hidden", "", true},
        {"\xe8\xa1\xa8/\xe3\x81\x82.txt", "CP932", true},  // 表/あ.txt, a 0x5C second byte
        {"12:00.log", "", false},
        {".../x", "", false},
        {"nul.txt", "", false},
        {"COM1", "", false},
        {"tab\there", "", false},
        {"back\\slash.txt", "", false},
        {"what?.txt", "", false},
        {"trailing.", "", false},
        {"\xc2\xa2.txt", "CP932", false},  // ¢ would come back as ￠
    };
    for (const auto& c : cases) {
        fs::remove_all(dir / "tree");
        fs::remove_all(dir / "out");
        fs::remove(dir / "n.qvr");
        WriteFile(dir / "tree" / "plain.txt", B("plain"));
        WriteFile(dir / "tree" / c.path, B(c.path));
        std::vector<std::string> args{"create", "n.qvr", "-C", "tree", "."};
        if (!c.encoding.empty()) args.insert(args.begin() + 1, {"--encoding", c.encoding});
        const auto created = RunQvr(args, dir);
        if (!c.comesBack) {
            EXPECT_EQ(created.status, 1) << c.path;
            EXPECT_NE(created.err.find(fs::path(c.path).filename().string()), std::string::npos) << created.err;
            EXPECT_FALSE(fs::exists(dir / "n.qvr")) << c.path;
            continue;
        }
        ASSERT_EQ(created.status, 0) << c.path << ": " << created.err;
        args = {"extract", "n.qvr", "-C", "out"};
        if (!c.encoding.empty()) args.insert(args.begin() + 1, {"--encoding", c.encoding});
        EXPECT_EQ(RunQvr(args, dir).status, 0) << c.path;
        EXPECT_EQ(Tree(dir / "out"), Tree(dir / "tree")) << c.path;
    }
}

TEST_F(RoundTrip, LinksAreFollowedLoopsRefusedAndEmptyFoldersNamed) {
    WriteFile(dir / "tree" / "real" / "file.txt", B("data"));
    fs::create_directories(dir / "tree" / "empty");
    fs::create_directory_symlink("real", dir / "tree" / "linked");
    fs::create_symlink("real/file.txt", dir / "tree" / "alias.txt");
    auto r = RunQvr({"create", "l.qvr", "-C", "tree", ".", "real/file.txt"}, dir);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "qvr: l.qvr: tree/empty: empty folder; not stored (an archive holds only files)\n");
    EXPECT_EQ(RunQvr({"list", "l.qvr"}, dir).out, "alias.txt\nlinked\\file.txt\nreal\\file.txt\n");

    r = RunQvr({"create", "-P", "p.qvr", "-C", "tree", "."}, dir);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("tree/alias.txt: symbolic link; skipped (--no-follow)"), std::string::npos) << r.err;
    EXPECT_EQ(RunQvr({"list", "p.qvr"}, dir).out, "real\\file.txt\n");

    fs::create_directory_symlink("..", dir / "tree" / "real" / "up");
    r = RunQvr({"create", "loop.qvr", "-C", "tree", "."}, dir);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("tree/linked/up: symbolic link loop"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(dir / "loop.qvr"));
}

TEST_F(RoundTrip, DifferentFilesUnderOneNameAreBothRefused) {
    // An absolute path loses its root when stored, so it may meet a relative one.
    const auto absolute = dir / "same.txt", relative = dir.relative_path() / "same.txt";
    WriteFile(absolute, B("1"));
    WriteFile(dir / relative, B("2"));
    const auto r = RunQvr({"create", "c.qvr", absolute.string(), relative.string(), "./" + relative.string()}, dir);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find(absolute.string() + " and " + relative.string() + ": both would be stored as"),
              std::string::npos)
        << r.err;
    EXPECT_FALSE(fs::exists(dir / "c.qvr"));
}

// Arguments select by exact name first, then by folder, then as patterns of characters.
TEST_F(RoundTrip, SelectionMeansWhatItSays) {
    WriteFile(dir / "s.qvr", Archive({{B("a1.txt"), B("")},
                                      {B("a[1].txt"), B("")},
                                      {B("\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e\xe3\x83\x95\xe3\x82\xa1\xe3\x82\xa4\xe3\x83\xab.txt"), B("")},
                                      {B("abc"), B("")},
                                      {B("\xe8\xa1\xa8\xe7\xa4\xba\xe3\x81\x82"), B("")},
                                      {B("sub\\one.txt"), B("")},
                                      {B("sub\\deep\\two.txt"), B("")},
                                      {B("subway.txt"), B("")}}));
    const std::string japanese = "\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e\xe3\x83\x95\xe3\x82\xa1\xe3\x82\xa4";
    const struct {
        std::vector<std::string> args;
        std::string listed;
    } cases[] = {
        {{"a[1].txt"}, "a[1].txt\n"},
        {{"a?.txt"}, "a1.txt\n"},
        {{japanese + "?.txt"}, japanese + "\xe3\x83\xab.txt\n"},
        {{"???"}, "abc\n\xe8\xa1\xa8\xe7\xa4\xba\xe3\x81\x82\n"},
        {{"[\xe8\xa1\xa8]*"}, "\xe8\xa1\xa8\xe7\xa4\xba\xe3\x81\x82\n"},
        {{"sub"}, "sub\\one.txt\nsub\\deep\\two.txt\n"},
        {{"./sub/"}, "sub\\one.txt\nsub\\deep\\two.txt\n"},
        {{"sub/deep"}, "sub\\deep\\two.txt\n"},
        {{"-i", "SUB/ONE.TXT"}, "sub\\one.txt\n"},
        {{"--no-wildcards", "a?.txt"}, ""},
        {{"--no-wildcards", "a[1].txt", "sub"}, "a[1].txt\nsub\\one.txt\nsub\\deep\\two.txt\n"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args{"list", "s.qvr"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const auto r = RunQvr(args, dir);
        EXPECT_EQ(r.out, c.listed) << c.args.back();
        EXPECT_EQ(r.status, c.listed.empty() ? 1 : 0) << c.args.back() << ": " << r.err;
    }
    // extract selects the same way.
    const auto x = RunQvr({"extract", "s.qvr", "-C", "out", "sub/"}, dir);
    EXPECT_EQ(x.status, 0) << x.err;
    EXPECT_EQ(Tree(dir / "out").size(), 2u);

    // Under CP932 patterns see the decoded characters: 表 is 0x95 0x5C.
    WriteFile(dir / "j.qvr", Archive({{Bytes{0x95, 0x5C, 0x8E, 0xA6, '.', 't', 'x', 't'}, B("")}, {B("x.txt"), B("")}}));
    for (const char* encoding : {"CP932", "SHIFT_JIS"})
        for (const char* pattern : {"[\xe8\xa1\xa8]\xe7\xa4\xba.txt", "??.txt", "\xe8\xa1\xa8\xe7\xa4\xba.txt"})
            EXPECT_EQ(RunQvr({"list", "--encoding", encoding, "j.qvr", pattern}, dir).out,
                      "\xe8\xa1\xa8\xe7\xa4\xba.txt\n")
                << encoding << " " << pattern;
}

// extract and delete choose what list chooses: an exact name before a
// folder or pattern of the same text, whichever entry comes first.
TEST_F(RoundTrip, ExtractAndDeleteChooseAsListDoes) {
    const std::vector<std::string> names = {"sub\\x.txt", "a1.txt", "sub", "a[1].txt", "sub\\y.txt", "subway.txt"};
    std::vector<WriterEntry> entries;
    for (const auto& n : names) entries.push_back({B(n), B(n + ";")});
    WriteFile(dir / "s.qvr", Archive(entries));
    const std::vector<std::vector<std::string>> cases = {
        {"sub"}, {"a[1].txt"}, {"a?.txt"}, {"sub/"}, {"-i", "SUB*"}, {"sub", "--exclude", "sub\\y.txt"}};
    for (const auto& args : cases) {
        auto with = [&](std::vector<std::string> head) {
            head.insert(head.end(), args.begin(), args.end());
            return RunQvr(head, dir);
        };
        const auto listed = with({"list", "s.qvr"});
        ASSERT_EQ(listed.status, 0) << args.back() << ": " << listed.err;
        std::string contents;
        std::set<std::string> chosen;
        for (std::size_t at = 0, end; (end = listed.out.find('\n', at)) != std::string::npos; at = end + 1) {
            contents += listed.out.substr(at, end - at) + ";";
            chosen.insert(listed.out.substr(at, end - at));
        }
        EXPECT_EQ(with({"extract", "-O", "s.qvr"}).out, contents) << args.back();
        if (std::ranges::find(args, "--exclude") != args.end()) continue;  // delete takes no --exclude
        std::filesystem::copy_file(dir / "s.qvr", dir / "d.qvr", std::filesystem::copy_options::overwrite_existing);
        auto deleted = args;
        deleted.insert(deleted.begin(), {"delete", "d.qvr"});
        ASSERT_EQ(RunQvr(deleted, dir).status, 0) << args.back();
        std::string left;
        for (const auto& n : names)
            if (!chosen.contains(n)) left += n + "\n";
        EXPECT_EQ(RunQvr({"list", "d.qvr"}, dir).out, left) << args.back();
    }
}

TEST_F(RoundTrip, ArchivesThroughPipes) {
    WriteFile(dir / "tree" / "a.txt", B("alpha"));
    const auto created = RunQvr({"create", "-", "tree"}, dir);
    ASSERT_EQ(created.status, 0) << created.err;
    WriteFile(dir / "piped.qvr", B(created.out));
    EXPECT_EQ(RunQvr({"list", "piped.qvr"}, dir).out, "tree\\a.txt\n");
    // A pipe cannot seek: the archive is spooled first.
    const std::string command = "cat '" + (dir / "piped.qvr").string() + "' | '" QVR_BINARY "' extract -O - tree/a.txt";
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string out(64, '\0');
    out.resize(fread(out.data(), 1, out.size(), pipe));
    EXPECT_EQ(pclose(pipe), 0);
    EXPECT_EQ(out, "alpha");
    EXPECT_EQ(RunQvr({"test", "-"}, dir).status, 2);  // /dev/null is no archive
}

TEST_F(RoundTrip, EncodingConvertsNamesBothWays) {
    WriteFile(dir / "tree" / "\xe8\xa1\xa8" / "\xe3\x81\x82.txt", B("kana"));  // 表/あ.txt
    ASSERT_EQ(RunQvr({"create", "--encoding", "CP932", "e.qvr", "-C", "tree", "."}, dir).status, 0);
    const auto raw = nlohmann::json::parse(RunQvr({"list", "--json", "e.qvr"}, dir).out);
    EXPECT_EQ(raw[0]["nameHex"], "955c5c82a02e747874");  // CP932 bytes, 0x5C trail byte included
    const auto converted = nlohmann::json::parse(RunQvr({"list", "--json", "--encoding", "CP932", "e.qvr"}, dir).out);
    EXPECT_EQ(converted[0]["name"], "\xe8\xa1\xa8\\\xe3\x81\x82.txt");
    ASSERT_EQ(RunQvr({"extract", "--encoding", "CP932", "e.qvr", "-C", "out"}, dir).status, 0);
    EXPECT_EQ(ReadFile(dir / "out" / "\xe8\xa1\xa8" / "\xe3\x81\x82.txt"), B("kana"));
    EXPECT_EQ(RunQvr({"list", "--encoding", "NOPE", "e.qvr"}, dir).status, 2);
}

}  // namespace
}  // namespace qvr::tooltest
