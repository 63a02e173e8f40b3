#include "core_expectations.h"

#include <algorithm>
#include <cstring>

#include <gtest/gtest.h>

namespace axqvr::test {
namespace {

// No entry index is larger, so the memory search goes no further back.
constexpr std::size_t MaxSearchSteps = qvr::MaxEntryCount;

// What the host contract says a host must be told for each way an opening
// can end, written out here rather than taken from the plug-in's mapping:
// a wrong mapping there makes the calls judged here fail instead of being
// copied into what they are judged against.
struct OpeningAnswer {
    qvr::OpenStatus opened;
    ResultCode code;
};
constexpr OpeningAnswer OpeningAnswers[] = {
    {qvr::OpenStatus::Success, ResultCode::Success},
    // A head without the magic, or cut before the entry count: not an archive.
    {qvr::OpenStatus::UnrecognisedFormat, ResultCode::UnrecognisedFormat},
    // The first entry's data begin inside the header, so no directory buffer
    // can be had: the contract's code for a working buffer that cannot be had.
    {qvr::OpenStatus::DamagedDirectory, ResultCode::MemoryError},
    // No working memory for the directory.
    {qvr::OpenStatus::OutOfMemory, ResultCode::MemoryError},
};

ResultCode CodeOf(qvr::OpenStatus status) {
    for (const auto& answer : OpeningAnswers)
        if (answer.opened == status) return answer.code;
    ADD_FAILURE() << "no expected code for open status " << static_cast<int>(status);
    return ResultCode{-1};
}

ResultCode OpenFile(std::span<const std::uint8_t> file, std::uint32_t offset, qvr::OpenedArchive& out) {
    qvr::SpanByteSource source(file);
    return CodeOf(qvr::OpenArchiveFile(source, offset, out));
}

ResultCode OpenImage(std::span<const std::uint8_t> image, qvr::OpenedArchive& out) {
    return CodeOf(qvr::OpenArchiveImage(image, out));
}

ExpectedListing Listing(ResultCode opened, const qvr::OpenedArchive& archive) {
    ExpectedListing expected;
    expected.code = opened;
    if (opened != ResultCode::Success) return expected;
    const std::uint32_t count = archive.header.entryCount;
    expected.block.assign(ListingBlockSize(count), 0);
    auto cursor = archive.Begin();
    for (std::uint32_t i = 0; i < count; ++i) {
        qvr::Entry entry;
        if (!qvr::ReadNextEntry(cursor, entry)) {
            expected = {ResultCode::EntryNotFound, {}};
            return expected;
        }
        const FileInfoRecord record = ExpectedRecord(entry, i);
        std::memcpy(expected.block.data() + std::size_t{i} * sizeof record, &record, sizeof record);
    }
    return expected;
}

ExpectedLookup Lookup(ResultCode opened, const qvr::OpenedArchive& archive, const char* name, bool ignoreCase) {
    ExpectedLookup expected;
    expected.code = opened;
    if (opened != ResultCode::Success) return expected;
    auto cursor = archive.Begin();
    for (std::uint32_t i = 0; i < archive.header.entryCount; ++i) {
        qvr::Entry entry;
        if (!qvr::ReadNextEntry(cursor, entry)) {
            expected.code = ResultCode::EntryNotFound;
            return expected;
        }
        expected.touched = true;
        expected.record = ExpectedRecord(entry, i);
        if (HostNamesEqual(expected.record.fileName.data(), name, ignoreCase)) return expected;
    }
    expected.code = ResultCode::EntryNotFound;
    return expected;
}

// Walks to entry `index`: the entries before it are passed over.
bool WalkTo(const qvr::OpenedArchive& archive, std::uint32_t index, qvr::Entry& out) {
    auto cursor = archive.Begin();
    for (std::uint32_t i = 0; i < index; ++i)
        if (!qvr::SkipEntry(cursor)) return false;
    return qvr::ReadNextEntry(cursor, out);
}

std::string NameOf(const qvr::Entry& entry) {
    const auto text = entry.NameText();
    return std::string(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(std::min<std::size_t>(text.size(), 199)));
}

ExpectedExtraction Delivered(const qvr::Entry& entry, std::span<const std::uint8_t> data) {
    ExpectedExtraction expected;
    expected.content.assign(data.begin(), data.end());
    qvr::DescrambleContent(expected.content);
    expected.name = NameOf(entry);
    return expected;
}

}  // namespace

bool HostNamesEqual(const char* a, const char* b, bool ignoreCase) {
    const auto fold = [ignoreCase](char c) {
        const auto u = static_cast<unsigned char>(c);
        return (ignoreCase && u >= 'A' && u <= 'Z') ? static_cast<unsigned char>(u + 0x20) : u;
    };
    for (std::size_t i = 0;; ++i) {
        if (fold(a[i]) != fold(b[i])) return false;
        if (a[i] == '\0') return true;
    }
}

ExpectedListing ListFile(std::span<const std::uint8_t> file, std::uint32_t offset) {
    qvr::OpenedArchive archive;
    const ResultCode opened = OpenFile(file, offset, archive);
    return Listing(opened, archive);
}

ExpectedLookup LookUpInFile(std::span<const std::uint8_t> file, std::uint32_t offset, const char* name,
                            bool ignoreCase) {
    qvr::OpenedArchive archive;
    const ResultCode opened = OpenFile(file, offset, archive);
    return Lookup(opened, archive, name, ignoreCase);
}

ExpectedListing ListImage(std::span<const std::uint8_t> image) {
    qvr::OpenedArchive archive;
    const ResultCode opened = OpenImage(image, archive);
    return Listing(opened, archive);
}

ExpectedLookup LookUpInImage(std::span<const std::uint8_t> image, const char* name, bool ignoreCase) {
    qvr::OpenedArchive archive;
    const ResultCode opened = OpenImage(image, archive);
    return Lookup(opened, archive, name, ignoreCase);
}

ExpectedExtraction ExtractFromFile(std::span<const std::uint8_t> file, std::int32_t index) {
    ExpectedExtraction expected;
    qvr::OpenedArchive archive;
    expected.code = OpenFile(file, 0, archive);
    if (expected.code != ResultCode::Success) return expected;
    qvr::Entry entry;
    if (index < 0 || static_cast<std::uint32_t>(index) >= archive.header.entryCount ||
        !WalkTo(archive, static_cast<std::uint32_t>(index), entry)) {
        expected.code = ResultCode::EntryNotFound;
        return expected;
    }
    // The file must hold the whole entry, before any block is allocated for it.
    const auto data = qvr::EntryData(file, entry.dataOffset, entry.dataSize);
    if (!data) {
        expected.code = ResultCode::EntryNotFound;
        return expected;
    }
    return Delivered(entry, *data);
}

ExpectedExtraction ExtractFromMemory(std::span<const std::uint8_t> readable, std::size_t at) {
    ExpectedExtraction expected;
    // The image starts at the last whole magic that begins at most 65535
    // bytes before the source and no later than the source itself.
    const std::size_t back = std::min(at, MaxSearchSteps);
    const auto searched = readable.subspan(at - back, std::min(readable.size() - (at - back), back + qvr::MagicSize));
    const auto magic = std::find_end(searched.begin(), searched.end(), qvr::ArchiveMagic.begin(), qvr::ArchiveMagic.end());
    if (magic == searched.end()) {
        expected.code = ResultCode::UnrecognisedFormat;
        return expected;
    }
    const auto index = static_cast<std::uint32_t>(searched.begin() + static_cast<std::ptrdiff_t>(back) - magic);
    const auto image = readable.subspan(at - index);
    qvr::OpenedArchive archive;
    expected.code = OpenImage(image, archive);
    if (expected.code != ResultCode::Success) return expected;
    qvr::Entry entry;
    if (index >= archive.header.entryCount || !WalkTo(archive, index, entry)) {
        expected.code = ResultCode::EntryNotFound;
        return expected;
    }
    // The image must hold the whole entry.
    const auto data = qvr::EntryData(image, entry.dataOffset, entry.dataSize);
    if (!data) {
        expected.code = ResultCode::EntryNotFound;
        return expected;
    }
    return Delivered(entry, *data);
}

}  // namespace axqvr::test
