// An image from a stranger: open it in place, walk every entry it announces,
// extract and descramble each one's data. The same bytes opened as a file
// may only show fewer entries (its directory ends at the first data offset),
// never different ones; read or mapped, a file opens the same; whole or
// streamed byte by byte, content descrambles the same; skipping reaches where
// decoding did.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "qvr/archive.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> image(data, size);
    (void)qvr::FindImageStart(image, size / 2, size);
    qvr::OpenedArchive viaImage, viaFile, viaView;
    qvr::SpanByteSource source(image);
    const auto fileStatus = qvr::OpenArchiveFile(source, 0, viaFile);
    if (fileStatus != qvr::OpenArchiveView(image, 0, viaView) ||
        !std::equal(viaFile.directory.begin(), viaFile.directory.end(), viaView.directory.begin(),
                    viaView.directory.end()) ||
        viaFile.header.entryCount != viaView.header.entryCount)
        std::abort();
    if (qvr::OpenArchiveImage(image, viaImage) != qvr::OpenStatus::Success) return 0;
    const bool fileOpened = fileStatus == qvr::OpenStatus::Success;
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
        for (std::size_t k = 0; k < content.size() && k <= qvr::ScrambledContentSize; ++k)
            if (content[k] != ((*stored)[k] ^ qvr::ContentMask(k))) std::abort();  // streamed the same
        if (entry.NameText().size() > entry.nameLength) std::abort();
    }
    auto skipping = viaImage.Begin();
    while (skipping.index < cursor.index && qvr::SkipEntry(skipping)) {}
    if (skipping.offset != cursor.offset || qvr::SkipEntry(skipping) != qvr::PeekEntry(cursor).has_value())
        std::abort();
    return 0;
}
