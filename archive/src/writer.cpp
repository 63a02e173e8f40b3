#include "qvr/writer.h"

#include <algorithm>
#include <string>

#include "qvr/format.h"
#include "qvr/scramble.h"

namespace qvr {
namespace {

constexpr std::uint64_t Max32 = 0xFFFFFFFFu;

std::string Describe(std::size_t index) { return "entry " + std::to_string(index); }

std::string Describe(const LayoutCheck& check) {
    switch (check.refusal) {
    case LayoutRefusal::None: return {};
    case LayoutRefusal::TooManyEntries:
        return std::to_string(check.value) + " entries: an archive holds at most " + std::to_string(MaxEntryCount);
    case LayoutRefusal::NameTooLong:
        return Describe(check.entry) + ": name is " + std::to_string(check.value) + " bytes long; at most " +
               std::to_string(MaxNameLength) + " fit";
    case LayoutRefusal::DataTooLarge:
        return Describe(check.entry) + ": " + std::to_string(check.value) +
               " bytes of data; an entry holds at most 4 GiB - 1";
    case LayoutRefusal::DataPastAddressable:
        return Describe(check.entry) + ": its data would start at byte " + std::to_string(check.value) +
               ", past the 4 GiB that an archive's offsets can address";
    }
    return "refused layout";
}

std::uint64_t DirectorySize(std::span<const EntrySpec> entries) noexcept {
    std::uint64_t size = 0;
    for (const auto& entry : entries) size += EntrySize(entry.name.size());
    return size;
}

}  // namespace

LayoutCheck CheckLayout(std::span<const EntrySpec> entries) noexcept {
    if (entries.size() > MaxEntryCount) return {LayoutRefusal::TooManyEntries, 0, entries.size()};
    for (std::size_t i = 0; i < entries.size(); ++i)
        if (entries[i].name.size() > MaxNameLength) return {LayoutRefusal::NameTooLong, i, entries[i].name.size()};
    std::uint64_t offset = HeaderSize + DirectorySize(entries);
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (offset > Max32) return {LayoutRefusal::DataPastAddressable, i, offset};
        if (entries[i].size > Max32) return {LayoutRefusal::DataTooLarge, i, entries[i].size};
        offset += entries[i].size;
    }
    return {};
}

LayoutResult PlanArchive(std::span<const EntrySpec> entries) {
    LayoutResult result;
    if (const auto check = CheckLayout(entries); !check.ok()) {
        result.error = Describe(check);
        return result;
    }
    const std::uint64_t directorySize = DirectorySize(entries);
    ArchiveLayout& layout = result.layout;
    layout.dataOffsets.reserve(entries.size());
    std::uint64_t offset = HeaderSize + directorySize;
    for (const auto& entry : entries) {
        layout.dataOffsets.push_back(static_cast<std::uint32_t>(offset));
        offset += entry.size;
    }
    layout.totalSize = offset;

    auto& out = layout.headAndDirectory;
    // At most 65535 entries of 265 bytes: the directory fits any size_t.
    out.assign(static_cast<std::size_t>(HeaderSize + directorySize), 0);
    std::copy(ArchiveMagic.begin(), ArchiveMagic.end(), out.begin());
    StoreU16(std::span(out).subspan(EntryCountOffset).first<2>(), static_cast<std::uint16_t>(entries.size()));

    std::size_t at = HeaderSize;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const auto name = entries[i].name;
        const auto entry = std::span(out).subspan(at, EntrySize(name.size()));
        entry[EntryNameLengthOffset] = static_cast<std::uint8_t>(name.size());
        const auto storedName = entry.subspan(EntryNameOffset, name.size());
        std::copy(name.begin(), name.end(), storedName.begin());
        DescrambleName(storedName);  // its own inverse: this scrambles
        StoreU32(entry.subspan(EntryDataSizeOffset(name.size())).first<EntryDataSizeSize>(),
                 static_cast<std::uint32_t>(entries[i].size));
        StoreU32(entry.subspan(EntryDataOffsetOffset(name.size())).first<EntryDataOffsetSize>(),
                 layout.dataOffsets[i]);
        at += entry.size();
    }
    return result;
}

ArchiveBytes WriteArchive(std::span<const WriterEntry> entries) {
    std::vector<EntrySpec> specs;
    specs.reserve(entries.size());
    for (const auto& e : entries) specs.push_back({e.name, e.content.size()});

    ArchiveBytes result;
    LayoutResult planned = PlanArchive(specs);
    if (!planned.ok()) {
        result.error = std::move(planned.error);
        return result;
    }
    auto& bytes = result.bytes;
    bytes = std::move(planned.layout.headAndDirectory);
    bytes.reserve(static_cast<std::size_t>(planned.layout.totalSize));
    for (const auto& e : entries) {
        const std::size_t at = bytes.size();
        bytes.insert(bytes.end(), e.content.begin(), e.content.end());
        ScrambleContent(std::span(bytes).subspan(at));
    }
    return result;
}

void ScrambleContent(std::span<std::uint8_t> content) noexcept { DescrambleContent(content); }

}  // namespace qvr
