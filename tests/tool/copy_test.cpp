// Copying entry data: by the kernel between regular files, also between two
// file systems and into a pipe, with the same bytes either way.
#include <sys/stat.h>
#include <unistd.h>

#include <thread>

#include "platform/platform.h"
#include "qvr/scramble.h"
#include "tool_test_support.h"

namespace qvr::tooltest {
namespace {

class Copy : public Scratch {
protected:
    void SetUp() override {
        Scratch::SetUp();
        // Larger than what is copied in one read, and with every byte value.
        content.resize(300000);
        for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
        WriteFile(dir / "source", content);
        auto file = cli::InputFile::Open(dir / "source");
        ASSERT_TRUE(file);
        source.emplace(std::move(*file));
    }
    // What `copy` writes into a pipe, read by another thread as it comes.
    template <class F>
    Bytes ThroughPipe(F copy) {
        int ends[2];
        EXPECT_EQ(pipe(ends), 0);
        Bytes got;
        std::thread reader([&] {
            std::uint8_t buffer[4096];
            for (ssize_t n; (n = read(ends[0], buffer, sizeof buffer)) > 0;) got.insert(got.end(), buffer, buffer + n);
        });
        copy(ends[1]);
        close(ends[1]);
        reader.join();
        close(ends[0]);
        return got;
    }
    Bytes content;
    std::optional<cli::InputFile> source;
};

TEST_F(Copy, StoredBytesReachAPipeUnchanged) {
    for (const std::uint64_t offset : {std::uint64_t{0}, std::uint64_t{1000}}) {
        const std::uint64_t size = content.size() - offset;
        const auto got = ThroughPipe([&](int to) {
            const auto copied = cli::CopyStored(*source, offset, size, to);
            ASSERT_TRUE(copied) << copied.error();
            EXPECT_EQ(*copied, size);
        });
        EXPECT_EQ(got, Bytes(content.begin() + static_cast<std::ptrdiff_t>(offset), content.end())) << offset;
    }
}

TEST_F(Copy, MaskedBytesAreTheSameToAFileAndToAPipe) {
    Bytes want = content;
    for (std::size_t i = 0; i < ScrambledContentSize; ++i) want[i] ^= ContentMask(i);
    for (const bool stream : {false, true}) {
        const auto got = ThroughPipe([&](int to) {
            const auto copied = cli::CopyMasked(*source, 0, content.size(), to, stream);
            ASSERT_TRUE(copied) << copied.error();
            EXPECT_EQ(*copied, content.size());
        });
        EXPECT_EQ(got, want) << stream;
    }
    auto folder = cli::Folder::OpenRoot(dir, false);
    ASSERT_TRUE(folder);
    auto out = folder->CreateTemp();
    ASSERT_TRUE(out);
    const auto copied = cli::CopyMasked(*source, 0, content.size(), out->Handle(), false);
    ASSERT_TRUE(copied && *copied == content.size());
    ASSERT_TRUE(out->Commit("copy", false));
    EXPECT_EQ(ReadFile(dir / "copy"), want);
}

// Between two file systems the files cannot share blocks: the kernel still
// copies, and the bytes and the count are the same as within one.
TEST_F(Copy, ToAFileOnAnotherFileSystem) {
    struct stat here {}, there {};
    const std::filesystem::path other = "/dev/shm";
    if (stat(dir.c_str(), &here) != 0 || stat(other.c_str(), &there) != 0 || here.st_dev == there.st_dev)
        GTEST_SKIP() << "no second file system at " << other;
    auto folder = cli::Folder::OpenRoot(other, false);
    ASSERT_TRUE(folder);
    const auto name = "qvr-copy-test-" + std::to_string(getpid());
    for (const std::uint64_t end : {std::uint64_t{300000}, std::uint64_t{400000}}) {
        auto out = folder->CreateTemp();
        ASSERT_TRUE(out);
        const auto copied = cli::CopyStored(*source, 1000, end - 1000, out->Handle());
        ASSERT_TRUE(copied) << copied.error();
        EXPECT_EQ(*copied, content.size() - 1000) << end;  // past the source's end: what it holds
        ASSERT_TRUE(out->Commit(name, true));
        EXPECT_EQ(ReadFile(other / name), Bytes(content.begin() + 1000, content.end())) << end;
    }
    std::filesystem::remove(other / name);
}

// A source that ends early gives fewer bytes, and no failure.
TEST_F(Copy, ASourceThatEndsEarlyGivesWhatItHolds) {
    const auto got = ThroughPipe([&](int to) {
        const auto copied = cli::CopyStored(*source, 200000, 500000, to);
        ASSERT_TRUE(copied) << copied.error();
        EXPECT_EQ(*copied, 100000u);
    });
    EXPECT_EQ(got.size(), 100000u);
}

}  // namespace
}  // namespace qvr::tooltest
