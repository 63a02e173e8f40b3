// Writes a small archive in memory with the qvr library, reads it back and
// prints each entry's name and size: the smallest use of the package.
#include <cstdio>
#include <string>
#include <vector>

#include <qvr/archive.h>

int main() {
    const std::string names[] = {"readme.txt", "data\\level1.bin"};
    std::vector<qvr::WriterEntry> entries;
    for (const auto& name : names)
        entries.push_back({{name.begin(), name.end()}, std::vector<std::uint8_t>(name.size() * 10, 0x42)});
    const auto archive = qvr::WriteArchive(entries);
    if (!archive.ok()) {
        std::fprintf(stderr, "cannot write: %s\n", archive.error.c_str());
        return 1;
    }

    qvr::OpenedArchive opened;
    if (qvr::OpenArchiveImage(archive.bytes, opened) != qvr::OpenStatus::Success) return 1;
    auto cursor = opened.Begin();
    qvr::Entry entry;
    for (unsigned i = 0; i < opened.header.entryCount && qvr::ReadNextEntry(cursor, entry); ++i) {
        const auto name = entry.NameText();
        std::printf("%.*s %u\n", static_cast<int>(name.size()), reinterpret_cast<const char*>(name.data()),
                    static_cast<unsigned>(entry.dataSize));
    }
    return 0;
}
