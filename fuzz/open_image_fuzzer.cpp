// An image from a stranger: open it in place, walk every entry it announces,
// extract and descramble each one's data. The same bytes opened as a file
// may only show fewer entries (its directory ends at the first data offset),
// never different ones; skipping reaches where decoding did.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "qvr/archive.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> image(data, size);
    (void)qvr::FindImageStart(image, size / 2, size);
    qvr::OpenedArchive viaImage, viaFile;
    qvr::SpanByteSource source(image);
    if (qvr::OpenArchiveImage(image, viaImage) != qvr::OpenStatus::Success) return 0;
    const bool fileOpened = qvr::OpenArchiveFile(source, 0, viaFile) == qvr::OpenStatus::Success;
    auto cursor = viaImage.Begin(), fileCursor = viaFile.Begin();
    for (std::uint32_t i = 0; i < viaImage.header.entryCount; ++i) {
        qvr::Entry entry, fromFile;
        if (!qvr::ReadNextEntry(cursor, entry)) break;
        if (cursor.offset > viaImage.directory.size() || entry.index != i) std::abort();
        if (fileOpened && qvr::ReadNextEntry(fileCursor, fromFile) &&
            (fromFile.name != entry.name || fromFile.dataSize != entry.dataSize ||
             fromFile.dataOffset != entry.dataOffset))
            std::abort();
        const auto stored = qvr::EntryData(image, entry.dataOffset, entry.dataSize);
        if (!stored) continue;
        std::vector<std::uint8_t> content(stored->begin(), stored->end());
        qvr::DescrambleContent(content);
        if (entry.NameText().size() > entry.nameLength) std::abort();
    }
    auto skipping = viaImage.Begin();
    while (skipping.index < cursor.index && qvr::SkipEntry(skipping)) {}
    if (skipping.offset != cursor.offset) std::abort();
    return 0;
}
