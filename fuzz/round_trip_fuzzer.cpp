// What the writer accepts, the reader gives back exactly: names, sizes and
// contents, from an image and from a file; and the plug-in's search back
// from image + index finds the image's first byte whatever the directory
// spells, unless a whole archive head lies nearer. Layouts alone (no data) are tried
// with counts, name lengths and sizes past what the format holds: the writer
// refuses exactly those, and only those.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>

#include "fuzz_input.h"
#include "image_start.h"
#include "qvr/archive.h"

namespace {

// GetFile's memory source is image + index. Searching back from there finds
// the image's first byte at distance index, unless a whole magic begins
// nearer (bytes 1 to index), where it must stop instead.
void SearchFindsEveryIndex(std::span<const std::uint8_t> image, std::size_t count) {
    const auto& magic = qvr::ArchiveMagic;
    for (std::size_t index = 0; index < count; ++index) {
        const auto found = axqvr::FindImageStart(image, index);
        const auto nearer = image.first(std::min(image.size(), index + magic.size())).subspan(1);
        const bool headNearer = std::search(nearer.begin(), nearer.end(), magic.begin(), magic.end()) != nearer.end();
        if (!found) std::abort();
        if (!headNearer && *found != index) std::abort();
        if (headNearer && (*found >= index || !std::equal(magic.begin(), magic.end(), image.begin() + static_cast<std::ptrdiff_t>(index - *found))))
            std::abort();
    }
}

void WriteAndReadBack(std::span<const std::uint8_t> in) {
    const auto entries = qvr::fuzz::DecodeWriteEntries(in);
    const auto written = qvr::WriteArchive(entries);
    const bool fits = std::all_of(entries.begin(), entries.end(),
                                  [](const auto& e) { return e.name.size() <= qvr::MaxNameLength; });
    if (written.ok() != fits || (!fits && !written.bytes.empty())) std::abort();
    if (!fits) return;
    const std::span<const std::uint8_t> image = written.bytes;
    std::size_t expectedSize = qvr::HeaderSize;
    for (const auto& e : entries) expectedSize += qvr::EntrySize(e.name.size()) + e.content.size();
    if (image.size() != expectedSize) std::abort();
    SearchFindsEveryIndex(image, entries.size());
    qvr::SpanByteSource source(image);
    for (const bool viaFile : {false, true}) {
        qvr::OpenedArchive archive;
        if ((viaFile ? qvr::OpenArchiveFile(source, 0, archive) : qvr::OpenArchiveImage(image, archive)) !=
                qvr::OpenStatus::Success ||
            archive.header.entryCount != entries.size())
            std::abort();
        auto cursor = archive.Begin();
        for (const auto& e : entries) {
            qvr::Entry got;
            if (!qvr::ReadNextEntry(cursor, got)) std::abort();
            const auto name = got.NameBytes();
            const auto data = qvr::EntryData(image, got.dataOffset, got.dataSize);
            if (!std::equal(name.begin(), name.end(), e.name.begin(), e.name.end()) || !data) std::abort();
            std::vector<std::uint8_t> content(data->begin(), data->end());
            qvr::DescrambleContent(content);
            if (content != e.content) std::abort();
        }
    }
}

void PlanOnly(std::span<const std::uint8_t> in) {
    static constexpr auto names = [] {
        std::array<std::uint8_t, qvr::fuzz::PlanNameLimit> n{};
        for (std::size_t i = 0; i < n.size(); ++i) n[i] = static_cast<std::uint8_t>(i * 37 + 1);
        return n;
    }();
    auto plan = qvr::fuzz::DecodePlan(in);
    if (plan.count > qvr::MaxEntryCount) {
        // Refused on the count alone, before any entry is looked at.
        static const std::vector<qvr::EntrySpec> tooMany(plan.count);
        const auto refused = qvr::PlanArchive(tooMany);
        if (refused.ok() || !refused.layout.headAndDirectory.empty()) std::abort();
        return;
    }
    if (plan.records.empty()) plan.records.push_back({});
    std::vector<qvr::EntrySpec> specs(plan.count);
    std::uint64_t directorySize = 0;
    bool fits = true;
    for (std::size_t i = 0; i < specs.size(); ++i) {
        const auto& r = plan.records[i % plan.records.size()];
        specs[i] = {std::span(names).first(r.nameLength), r.size};
        directorySize += qvr::EntrySize(r.nameLength);
        fits = fits && r.nameLength <= qvr::MaxNameLength && r.size <= 0xFFFFFFFFu;
    }
    std::uint64_t offset = qvr::HeaderSize + directorySize;
    for (const auto& s : specs) {
        fits = fits && offset <= 0xFFFFFFFFu;
        offset += s.size;
    }
    const auto planned = qvr::PlanArchive(specs);
    if (planned.ok() != fits) std::abort();
    if (!fits) {
        if (!planned.layout.headAndDirectory.empty() || !planned.layout.dataOffsets.empty()) std::abort();
        return;
    }
    qvr::OpenedArchive archive;
    if (qvr::OpenArchiveImage(planned.layout.headAndDirectory, archive) != qvr::OpenStatus::Success ||
        archive.header.entryCount != specs.size() || planned.layout.totalSize != offset ||
        planned.layout.headAndDirectory.size() != qvr::HeaderSize + directorySize)
        std::abort();
    auto cursor = archive.Begin();
    std::uint64_t expectedOffset = qvr::HeaderSize + directorySize;
    for (const auto& s : specs) {
        qvr::Entry got;
        if (!qvr::ReadNextEntry(cursor, got)) std::abort();
        const auto name = got.NameBytes();
        if (!std::equal(name.begin(), name.end(), s.name.begin(), s.name.end()) || got.dataSize != s.size ||
            got.dataOffset != expectedOffset || planned.layout.dataOffsets[got.index] != expectedOffset)
            std::abort();
        expectedOffset += s.size;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::span<const std::uint8_t> rest(data + 1, size - 1);
    if (data[0] % 2 == 0)
        WriteAndReadBack(rest);
    else
        PlanOnly(rest);
    return 0;
}
