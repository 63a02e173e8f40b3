// The bundled sample, as the demo uses it: every entry extracts to its
// original file. The suite is told where the samples are with --samples=DIR.
#include <set>

#include "support.h"

namespace axqvr::test {
namespace {

TEST(BundledSample, ExtractsToItsOriginalFiles) {
    if (SamplesDirectory().empty()) GTEST_SKIP() << "no --samples=DIR given";
    const std::string archivePath = SamplesDirectory() + "/sample.qvr";
    const Bytes archive = ReadFileBytes(archivePath);
    ASSERT_FALSE(archive.empty()) << archivePath;

    ReceivedBlock listing;
    ASSERT_EQ(CallGetArchiveInfo(archivePath.c_str(), 0, FileSource(), listing.Slot()), ResultCode::Success);
    const auto records = listing.Records();
    ASSERT_GE(records.size(), 3u);
    std::set<std::size_t> sizes;
    for (std::uint32_t i = 0; i + 1 < records.size(); ++i) {
        const std::string name = records[i].fileName.data();
        const Bytes original = ReadFileBytes(SamplesDirectory() + "/sample/" + name);
        ASSERT_FALSE(original.empty()) << name;
        sizes.insert(original.size());
        ReceivedBlock fromFile;
        ASSERT_EQ(CallGetFile(archivePath.c_str(), static_cast<std::int32_t>(i), fromFile.Slot(), FileSource()),
                  ResultCode::Success);
        EXPECT_EQ(fromFile.Contents(), original) << name;
        ReceivedBlock fromImage;
        ASSERT_EQ(CallGetFile(AsSource(archive.data() + i), 0, fromImage.Slot(), MemorySource()),
                  ResultCode::Success);
        EXPECT_EQ(fromImage.Contents(), original) << name;
    }
    // The sample shows both sides of the 50 scrambled bytes.
    EXPECT_LT(*sizes.begin(), 50u);
    EXPECT_GT(*sizes.rbegin(), 50u);
}

}  // namespace
}  // namespace axqvr::test
