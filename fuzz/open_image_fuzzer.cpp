// An image from a stranger: open it in place, walk every entry it announces,
// extract and descramble each one's data. The same bytes opened as a file
// may only show fewer entries (its directory ends at the first data offset),
// never different ones; read or mapped, a file opens the same, and reading
// one entry in pieces finds what the file's walk found; whole or streamed
// byte by byte, content descrambles the same; a name's text descrambles the
// same straight into a host's field; skipping reaches where decoding did.
#include <algorithm>
#include <array>
#include <optional>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "qvr/archive.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> image(data, size);
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
    std::vector<qvr::Entry> fileWalk;
    for (std::uint32_t i = 0; i < viaImage.header.entryCount; ++i) {
        qvr::Entry entry, fromFile;
        const auto peeked = qvr::PeekEntry(cursor);
        if (!qvr::ReadNextEntry(cursor, entry)) break;
        std::array<std::uint8_t, 199> field{};  // a host record's name field, less its terminator
        const auto text = entry.NameText().first(std::min(entry.NameText().size(), field.size()));
        if (qvr::DescrambleNameText(peeked->scrambledName, field) != text.size() ||
            !std::equal(text.begin(), text.end(), field.begin()))
            std::abort();
        if (cursor.offset > viaImage.directory.size() || entry.index != i) std::abort();
        if (fileOpened && qvr::ReadNextEntry(fileCursor, fromFile)) {
            fileWalk.push_back(fromFile);
            if (fromFile.name != entry.name || fromFile.dataSize != entry.dataSize ||
                fromFile.dataOffset != entry.dataOffset)
                std::abort();
        }
        const auto stored = qvr::EntryData(image, entry.dataOffset, entry.dataSize);
        if (!stored) continue;
        std::vector<std::uint8_t> content(stored->begin(), stored->end());
        qvr::DescrambleContent(content);
        for (std::size_t k = 0; k < content.size() && k <= qvr::ScrambledContentSize; ++k)
            if (content[k] != ((*stored)[k] ^ qvr::ContentMask(k))) std::abort();  // streamed the same
        if (entry.NameText().size() > entry.nameLength) std::abort();
    }
    // Skipping, one at a time or all at once, reaches where decoding did,
    // and refuses one entry further exactly when decoding would.
    const bool oneMore = qvr::PeekEntry(cursor).has_value();
    auto skipping = viaImage.Begin(), skippingAll = viaImage.Begin();
    while (skipping.index < cursor.index && qvr::SkipEntry(skipping)) {}
    if (skipping.offset != cursor.offset || qvr::SkipEntry(skipping) != oneMore ||
        qvr::SkipEntries(skippingAll, cursor.index + 1) != oneMore || skippingAll.offset != skipping.offset ||
        skippingAll.index != skipping.index)
        std::abort();

    // One entry read in pieces: a few places, both ends and past the end.
    const std::uint32_t count = viaFile.header.entryCount, walked = static_cast<std::uint32_t>(fileWalk.size());
    for (const std::uint32_t index : {0u, 1u, walked / 2, walked - 1, walked, walked + 1, count - 1u, count}) {
        std::optional<qvr::Entry> one;
        if (qvr::ReadEntryAt(source, 0, index, one) != fileStatus) std::abort();
        const bool expected = fileOpened && index < walked;
        if (one.has_value() != expected ||
            (expected && (one->name != fileWalk[index].name || one->dataSize != fileWalk[index].dataSize ||
                          one->dataOffset != fileWalk[index].dataOffset || one->index != index)))
            std::abort();
    }
    return 0;
}
