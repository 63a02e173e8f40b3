// Small helpers the archive tests share: archives made by the writer, and
// byte edits that damage them in chosen ways.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "qvr/archive.h"

namespace qvr::test {

inline std::vector<std::uint8_t> Bytes(std::string_view s) { return {s.begin(), s.end()}; }

inline std::vector<std::uint8_t> Filled(std::size_t n, std::uint8_t seed) {
    std::vector<std::uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::uint8_t>(seed + i * 7);
    return v;
}

inline std::vector<std::uint8_t> Build(const std::vector<WriterEntry>& entries) {
    auto written = WriteArchive(entries);
    EXPECT_TRUE(written.ok()) << written.error;
    return std::move(written.bytes);
}

// Walks every entry of an opened archive; stops at the first refusal.
inline std::vector<Entry> WalkAll(const OpenedArchive& archive) {
    std::vector<Entry> entries;
    auto cursor = archive.Begin();
    for (std::uint32_t i = 0; i < archive.header.entryCount; ++i) {
        Entry e;
        if (!ReadNextEntry(cursor, e)) break;
        entries.push_back(e);
    }
    return entries;
}

// Byte offset of entry `index`'s first byte in an archive whose names have these lengths.
inline std::size_t EntryAt(const std::vector<WriterEntry>& entries, std::size_t index) {
    std::size_t at = HeaderSize;
    for (std::size_t i = 0; i < index; ++i) at += EntrySize(entries[i].name.size());
    return at;
}

}  // namespace qvr::test
