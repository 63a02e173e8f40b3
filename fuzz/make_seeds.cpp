// Writes the starting corpora of the fuzz targets, one folder per target,
// made by the writer at build time so that no binary archive is kept in
// the repository. Usage: make_seeds OUTPUT_FOLDER
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_input.h"
#include "qvr/archive.h"

namespace {

namespace fs = std::filesystem;
using qvr::fuzz::Bytes;

Bytes Text(std::string_view s) { return {s.begin(), s.end()}; }

Bytes Pattern(std::size_t n, std::uint8_t seed) {
    Bytes v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::uint8_t>(seed + i * 13);
    return v;
}

// Entry sets that reach every shape the reader distinguishes: no entries, an
// empty name, names across the 15-byte key period up to the longest, and
// contents shorter than, exactly and longer than the scrambled 50 bytes.
std::vector<std::vector<qvr::WriterEntry>> EntrySets() {
    return {
        {},
        {{Text("a"), Text("b")}},
        {{Text("one.txt"), Text("first")}, {Text("two"), Pattern(120, 9)}, {Text("3"), {}}},
        {{{}, Pattern(49, 1)}, {Pattern(15, 2), Pattern(50, 3)}, {Pattern(16, 4), Pattern(51, 5)}},
        {{Pattern(199, 6), Pattern(1, 7)}, {Pattern(255, 8), Pattern(300, 9)}},
        {{Text("dir/sub/name.bin"), Pattern(64, 10)}, {Text(std::string_view("ab\0cd", 5)), Text("zero inside")}},
    };
}

Bytes Written(const std::vector<qvr::WriterEntry>& entries) {
    auto written = qvr::WriteArchive(entries);
    if (!written.ok()) {
        std::fprintf(stderr, "make_seeds: %s\n", written.error.c_str());
        std::exit(1);
    }
    return std::move(written.bytes);
}

class Corpus {
public:
    Corpus(const fs::path& root, const std::string& target) : dir_(root / target) {
        fs::create_directories(dir_);
    }
    void Add(const Bytes& bytes) {
        std::ofstream out(dir_ / ("seed-" + std::to_string(count_++)), std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        if (!out) {
            std::fprintf(stderr, "make_seeds: cannot write into %s\n", dir_.c_str());
            std::exit(1);
        }
    }

private:
    fs::path dir_;
    int count_ = 0;
};

// Damaged forms of one archive: cut inside the header, the first entry and
// the directory; an entry count past what the directory holds; a first data
// offset below the header and far past the end; a name running past the end.
std::vector<Bytes> Damaged(const Bytes& archive) {
    std::vector<Bytes> out;
    for (const std::size_t keep : {std::size_t{5}, std::size_t{33}, std::size_t{40}, archive.size() - 1}) {
        if (keep < archive.size()) out.emplace_back(archive.begin(), archive.begin() + static_cast<std::ptrdiff_t>(keep));
    }
    if (archive.size() > qvr::HeaderSize + qvr::EntryFixedSize) {
        Bytes more = archive;
        more[qvr::EntryCountOffset] = 0xFF;
        more[qvr::EntryCountOffset + 1] = 0xFF;
        out.push_back(more);
        const std::size_t nameLength = archive[qvr::HeaderSize + qvr::EntryNameLengthOffset];
        const std::size_t firstOffsetAt = qvr::HeaderSize + qvr::EntryDataOffsetOffset(nameLength);
        for (const std::uint32_t offset : {0u, 33u, 0xFFFFFFF0u}) {
            Bytes forged = archive;
            qvr::StoreU32(std::span(forged).subspan(firstOffsetAt).first<4>(), offset);
            out.push_back(forged);
        }
        Bytes longName = archive;
        longName[qvr::HeaderSize + qvr::EntryNameLengthOffset] = 0xFF;
        out.push_back(longName);
    }
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_seeds OUTPUT_FOLDER\n");
        return 2;
    }
    const fs::path root = argv[1];
    Corpus image(root, "fuzz_open_image"), shortReads(root, "fuzz_short_reads"), roundTrip(root, "fuzz_round_trip"),
        entryName(root, "fuzz_entry_name");

    for (const auto& entries : EntrySets()) {
        const Bytes archive = Written(entries);
        image.Add(archive);
        for (const auto& damaged : Damaged(archive)) image.Add(damaged);

        shortReads.Add(qvr::fuzz::EncodeShortReads(0, {}, archive));
        Bytes inside = Text("junk before the archive");
        inside.insert(inside.end(), archive.begin(), archive.end());
        shortReads.Add(qvr::fuzz::EncodeShortReads(static_cast<std::uint8_t>(inside.size() - archive.size()),
                                                   {255, 100}, inside));
        shortReads.Add(qvr::fuzz::EncodeShortReads(0, {40, 255}, archive));
        shortReads.Add(qvr::fuzz::EncodeShortReads(0, {255, 128}, archive));
        shortReads.Add(qvr::fuzz::EncodeShortReads(0, {255}, archive, true));
        shortReads.Add(qvr::fuzz::EncodeShortReads(0, {}, archive, false, static_cast<std::uint16_t>(entries.size() / 2)));
        shortReads.Add(qvr::fuzz::EncodeShortReads(0, {255, 3}, archive, false, static_cast<std::uint16_t>(entries.size())));

        roundTrip.Add(qvr::fuzz::EncodeWriteEntries(entries));
    }
    // Directories larger than one read piece, from small inputs: one entry
    // whose stated count and first data offset reach far into its repeats.
    for (const std::uint16_t index : {std::uint16_t{0}, std::uint16_t{1000}, std::uint16_t{2500}, std::uint16_t{4000}}) {
        Bytes archive = Written({{Text("stretched"), {}}});
        archive.resize(qvr::HeaderSize + qvr::EntrySize(9));  // header and the one entry
        qvr::StoreU16(std::span(archive).subspan(qvr::EntryCountOffset).first<2>(), 0xFFFF);
        qvr::StoreU32(std::span(archive).subspan(qvr::HeaderSize + qvr::EntryDataOffsetOffset(9)).first<4>(), 70000);
        shortReads.Add(qvr::fuzz::EncodeShortReads(0, {}, archive, false, index, true));
        shortReads.Add(qvr::fuzz::EncodeShortReads(0, {255, 255, 200}, archive, false, index, true));
    }
    roundTrip.Add(qvr::fuzz::EncodeWriteEntries({{Pattern(256, 11), Text("one byte too long a name")}}));
    roundTrip.Add(qvr::fuzz::EncodePlan(3, {{7, 10}, {0, 0}, {255, 0xFFFF'FFFFull}}));
    roundTrip.Add(qvr::fuzz::EncodePlan(2, {{256, 1}}));
    roundTrip.Add(qvr::fuzz::EncodePlan(1, {{1, 0x1'0000'0000ull}}));
    roundTrip.Add(qvr::fuzz::EncodePlan(2, {{1, 0xFFFF'FFFFull}, {1, 1}}));
    roundTrip.Add(qvr::fuzz::EncodePlan(qvr::fuzz::PlanTooManyEntries, {{0, 0}}));

    // Names an extraction might be handed: ordinary, climbing out, rooted,
    // drive-qualified, with back slashes, dots, devices and a zero byte;
    // each read single-byte (the first byte 0) and as Shift_JIS (1), where
    // the second byte of "\x95\\" is no separator.
    using namespace std::string_view_literals;
    const std::string_view names[] = {
        "a"sv, "dir/file.txt", "a/./b", "a/../b", "../up", "a/../../up", "/abs", "//server/share", "C:x",
        "C:\\win", "a\\b", "..\\up", ".", "..", "", "a/", "trailing.", "a\0b"sv, "nul.txt", "COM1",
        "\x95\\\x8e\xa6\\\x83\\.txt", "\x83\\..\\x"};
    for (const auto name : names) {
        for (const char codePage : {'\0', '\1'}) {
            std::string seed(1, codePage);
            seed += name;
            entryName.Add(Text(seed));
        }
    }
    return 0;
}
