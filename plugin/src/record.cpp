#include <algorithm>

#include "plugin.h"
#include "qvr/ascii.h"
#include "qvr/format.h"
#include "qvr/scramble.h"

namespace axqvr {

EntryName RecordName(const qvr::Entry& entry) noexcept {
    EntryName name{};
    const auto text = entry.NameText();
    const std::size_t n = std::min(text.size(), name.size() - 1);
    std::transform(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(n), name.begin(),
                   [](std::uint8_t b) { return static_cast<char>(b); });
    return name;
}

void BuildRecord(const qvr::DirectoryEntry& stored, std::uint32_t position, RecordState state,
                 FileInfoRecord& record) noexcept {
    std::copy(qvr::ArchiveMagic.begin(), qvr::ArchiveMagic.end(), record.methodTag.begin());
    record.position = position;
    record.storedSize = stored.dataSize;
    record.extractedSize = stored.dataSize;
    // The name is descrambled straight into the field, up to its first zero
    // byte and never over the field's last byte, which stays the terminator.
    const std::span<std::uint8_t> field(reinterpret_cast<std::uint8_t*>(record.fileName.data()),
                                        record.fileName.size() - 1);
    const std::size_t n = qvr::DescrambleNameText(stored.scrambledName, field);
    if (state == RecordState::ZeroFilled) return;
    std::fill(record.fileName.begin() + static_cast<std::ptrdiff_t>(n), record.fileName.end(), '\0');
    record.timestamp = 0;
    record.path[0] = '\0';
    record.crc = 0;
}

bool NamesEqual(const char* recordName, const char* wanted, bool ignoreCase) noexcept {
    // Only A-Z fold, whatever the locale: names are bytes, and a lead or
    // trail byte of a double-byte character folds like any other.
    const auto fold = [ignoreCase](char c) {
        const auto b = static_cast<std::uint8_t>(c);
        return ignoreCase ? qvr::AsciiLower(b) : b;
    };
    for (std::size_t i = 0;; ++i) {
        if (fold(recordName[i]) != fold(wanted[i])) return false;
        if (recordName[i] == '\0') return true;
    }
}

}  // namespace axqvr
