// Writes the archives the viewer's browser tests open, with the archive
// writer: "small" and "typical" in the shapes of bench/make_corpus, one
// with CP932 names, a damaged one and foreign files. Runs under node.
//
//   node make_archives.js OUTDIR
#include <cstdio>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "qvr/archive.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes B(std::string_view s) { return {s.begin(), s.end()}; }

bool Save(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return out.good();
}

// A 24-bit BMP, w x h, in four quadrants: red, green (top), blue, white (bottom).
Bytes Bmp(std::uint32_t w, std::uint32_t h) {
    const std::uint32_t stride = (w * 3 + 3) & ~3u;
    Bytes b(54 + std::size_t{stride} * h, 0);
    auto u32 = [&](std::size_t at, std::uint32_t v) { qvr::StoreU32(std::span(b).subspan(at).first<4>(), v); };
    b[0] = 'B', b[1] = 'M';
    u32(2, static_cast<std::uint32_t>(b.size())), u32(10, 54), u32(14, 40), u32(18, w), u32(22, h);
    b[26] = 1, b[28] = 24;
    for (std::uint32_t y = 0; y < h; ++y)  // rows bottom up, pixels B G R
        for (std::uint32_t x = 0; x < w; ++x) {
            const bool top = y >= h / 2, left = x < w / 2;
            const std::uint8_t r = (top && left) || (!top && !left) ? 255 : 0;
            const std::uint8_t g = (top && !left) || (!top && !left) ? 255 : 0;
            const std::uint8_t bl = !top ? 255 : 0;
            std::uint8_t* p = &b[54 + std::size_t{y} * stride + x * 3];
            p[0] = bl, p[1] = g, p[2] = r;
        }
    return b;
}

// A WAV file: 8-bit mono, 8000 samples a second, a tenth of a second of a square wave.
Bytes Wav() {
    Bytes b = B(std::string("RIFF\0\0\0\0WAVEfmt \x10\0\0\0\x01\0\x01\0\x40\x1f\0\0\x40\x1f\0\0\x01\0\x08\0data\0\0\0\0", 44));
    for (int i = 0; i < 800; ++i) b.push_back(i / 10 % 2 ? 0xC0 : 0x40);
    qvr::StoreU32(std::span(b).subspan(4).first<4>(), static_cast<std::uint32_t>(b.size() - 8));
    qvr::StoreU32(std::span(b).subspan(40).first<4>(), 800);
    return b;
}

Bytes Text(std::size_t size, std::size_t seed) {
    std::string s;
    while (s.size() < size) s += "line " + std::to_string(seed) + ":" + std::to_string(s.size()) + " of a plain text entry\n";
    s.resize(size);
    return B(s);
}

// Streams an archive to disk: layout first, then each entry's data, scrambled.
template <typename Content>
bool Write(const std::string& path, const std::vector<std::string>& names, const std::vector<std::size_t>& sizes,
           Content content) {
    std::vector<qvr::EntrySpec> specs;
    for (std::size_t i = 0; i < names.size(); ++i)
        specs.push_back({std::span(reinterpret_cast<const std::uint8_t*>(names[i].data()), names[i].size()), sizes[i]});
    const auto planned = qvr::PlanArchive(specs);
    if (!planned.ok()) return std::fprintf(stderr, "%s: %s\n", path.c_str(), planned.error.c_str()), false;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    const auto& head = planned.layout.headAndDirectory;
    out.write(reinterpret_cast<const char*>(head.data()), static_cast<std::streamsize>(head.size()));
    for (std::size_t i = 0; i < names.size(); ++i) {
        Bytes data = content(i, sizes[i]);
        qvr::ScrambleContent(data);
        out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
    }
    return out.good();
}

// Where entry `index`'s data offset is stored in an archive written from `entries`.
std::span<std::uint8_t, 4> DataOffsetField(Bytes& archive, const std::vector<qvr::WriterEntry>& entries, std::size_t index) {
    std::size_t at = qvr::HeaderSize;
    for (std::size_t k = 0; k < index; ++k) at += qvr::EntrySize(entries[k].name.size());
    return std::span(archive).subspan(at + qvr::EntryDataOffsetOffset(entries[index].name.size())).first<4>();
}

std::string Name(std::size_t i, const char* ext) {
    char name[40];
    std::snprintf(name, sizeof name, "d%03zu\\f%05zu.%s", i % 256, i, ext);
    return name;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) return std::fprintf(stderr, "usage: make_archives OUTDIR\n"), 2;
    const std::string dir = argv[1];
    std::mt19937_64 rng(42);
    auto random = [&](std::size_t, std::size_t size) {
        Bytes b(size);
        for (std::size_t k = 0; k < size; k += 8) {
            const std::uint64_t v = rng();
            for (std::size_t j = 0; j < 8 && k + j < size; ++j) b[k + j] = static_cast<std::uint8_t>(v >> (8 * j));
        }
        return b;
    };
    bool ok = true;

    // small: 65535 entries of 64-512 bytes.
    {
        std::vector<std::string> names;
        std::vector<std::size_t> sizes;
        std::uniform_int_distribution<std::size_t> size(64, 512);
        for (std::size_t i = 0; i < 65535; ++i) names.push_back(Name(i, "bin")), sizes.push_back(size(rng));
        ok &= Write(dir + "/small.qvr", names, sizes, random);
    }
    // typical: 2000 entries of 20-400 KiB, every tenth an image and the one after it a text.
    {
        std::vector<std::string> names;
        std::vector<std::size_t> sizes;
        std::uniform_int_distribution<std::size_t> size(20 << 10, 400 << 10);
        for (std::size_t i = 0; i < 2000; ++i) {
            const std::uint32_t side = 96 + static_cast<std::uint32_t>(i % 7) * 32;
            names.push_back(Name(i, i % 10 == 0 ? "bmp" : i % 10 == 1 ? "txt" : "bin"));
            sizes.push_back(i % 10 == 0 ? Bmp(side, side).size() : size(rng));
        }
        ok &= Write(dir + "/typical.qvr", names, sizes, [&](std::size_t i, std::size_t n) {
            const std::uint32_t side = 96 + static_cast<std::uint32_t>(i % 7) * 32;
            return i % 10 == 0 ? Bmp(side, side) : i % 10 == 1 ? Text(n, i) : random(i, n);
        });
    }
    // CP932 names: folders, and 0x5C as the second byte of 表, ソ and 能.
    {
        const std::vector<std::pair<std::string, Bytes>> entries = {
            {"\x95\x5C\\\x83\x5C\x81\x5B\x83\x58.txt", B("\x82\xB1\x82\xF1\x82\xC9\x82\xBF\x82\xCD\r\n")},  // 表\ソース.txt: こんにちは
            {"\x89\xE6\x91\x9C\\\x95\x5C\x8E\x86.bmp", Bmp(64, 48)},                                        // 画像\表紙.bmp
            {"\x94\x5C\x97\xCD.txt", B("plain ASCII in a CP932-named entry\n")},                           // 能力.txt
            {"\x93\xFA\x96\x7B\x8C\xEA\\readme.txt", B("readme\n")},                                        // 日本語\readme.txt
            {"\x89\xB9.wav", Wav()},                                                                       // 音.wav
        };
        std::vector<std::string> names;
        std::vector<std::size_t> sizes;
        for (const auto& [n, c] : entries) names.push_back(n), sizes.push_back(c.size());
        ok &= Write(dir + "/cp932.qvr", names, sizes, [&](std::size_t i, std::size_t) { return entries[i].second; });
    }
    // A directory longer than the page's first read (9000 names of 255 bytes).
    {
        std::vector<std::string> names;
        for (std::size_t i = 0; i < 9000; ++i) names.push_back("long\\" + std::string(235, 'n') + Name(i, "txt"));
        ok &= Write(dir + "/long-names.qvr", names, std::vector<std::size_t>(names.size(), 1), random);
    }
    // UTF-8 names beyond ASCII, which the page must not take for Shift_JIS.
    ok &= Write(dir + "/utf8.qvr", {"\xE6\x97\xA5\xE6\x9C\xAC\\\xC3\xA9t\xC3\xA9.txt"}, {3},
                [](std::size_t, std::size_t) { return B("abc"); });  // 日本\été.txt
    // The same kinds of names with their first bytes ASCII, which the check passes eight at a time.
    ok &= Write(dir + "/utf8-late.qvr", {"abcdefgh\\\xC3\xA9t\xC3\xA9.txt", "0123456789abcdef.txt"}, {3, 3},
                [](std::size_t, std::size_t) { return B("abc"); });  // abcdefgh\été.txt
    ok &= Write(dir + "/cp932-late.qvr", {"0123456789abcdef.txt", "abcdefgh\\\x95\x5C\x8E\x86.txt"}, {3, 3},
                [](std::size_t, std::size_t) { return B("abc"); });  // abcdefgh\表紙.txt
    // damaged: the header claims 7 entries where the directory holds 5, and
    // the file ends inside the data of entry 3 (entry 4 starts past the end).
    {
        std::vector<qvr::WriterEntry> entries;
        for (int i = 0; i < 5; ++i) entries.push_back({B("part" + std::to_string(i) + ".txt"), Text(100, static_cast<std::size_t>(i))});
        auto archive = qvr::WriteArchive(entries);
        qvr::StoreU16(std::span(archive.bytes).subspan(qvr::EntryCountOffset).first<2>(), 7);
        archive.bytes.resize(archive.bytes.size() - 150);
        ok &= Save(dir + "/damaged.qvr", archive.bytes);
        // No room for a directory: the first entry's data would begin inside the header.
        auto bad = qvr::WriteArchive({entries.data(), 1}).bytes;
        qvr::StoreU32(std::span(bad).subspan(qvr::HeaderSize + qvr::EntryDataOffsetOffset(9)).first<4>(), 8);
        ok &= Save(dir + "/no-directory.qvr", bad);
    }
    // damaged-long: a directory longer than the core's first look at the
    // head (16 entries) with damage near its start and its end: entry 2's
    // data start inside the directory, entry 13's overlap entry 12's, the
    // header claims 19 entries, and the file ends inside the last entry's data.
    {
        std::vector<qvr::WriterEntry> entries;
        for (int i = 0; i < 16; ++i)
            entries.push_back({B("damaged\\part-" + std::to_string(100 + i) + ".txt"), Text(60, static_cast<std::size_t>(i))});
        auto bytes = qvr::WriteArchive(entries).bytes;
        qvr::StoreU32(DataOffsetField(bytes, entries, 2), qvr::HeaderSize + 3);
        qvr::StoreU32(DataOffsetField(bytes, entries, 13), qvr::LoadU32(DataOffsetField(bytes, entries, 12)) + 10);
        qvr::StoreU16(std::span(bytes).subspan(qvr::EntryCountOffset).first<2>(), 19);
        bytes.resize(bytes.size() - 30);
        ok &= Save(dir + "/damaged-long.qvr", bytes);
    }
    // hostile: names that look like something else, reach outside a folder,
    // name devices, hold control bytes, or are empty, among ordinary ones
    // that sort naturally; two repeats and a file where a folder must be.
    {
        using namespace std::string_literals;
        const std::vector<std::string> names = {
            "evil\xE2\x80\xAEgnp.exe", "invoice_\xE2\x80\xAE" "fdp.scr", "C:/Windows/evil4.txt", "C:evil5.txt",
            "file:/etc/passwd", "...", ". .", "\\", "CON.txt", "esc\x1B[31mred.txt", "bell\x07.txt", "new\nline.txt",
            "nul\0byte.txt"s, "", "/", "img_10.txt", "img_2.txt", "img_1.txt", "Zeta.txt", "\xC3\x84pfel.txt",
            "apple.txt", "docs\\readme.txt", "docs/readme.txt", "img_1.txt\\inside.txt",
        };
        ok &= Write(dir + "/hostile.qvr", names, std::vector<std::size_t>(names.size(), 5),
                    [](std::size_t i, std::size_t) { return B("data" + std::to_string(i % 10)); });
    }
    // dots: a folder's name followed only by components a name drops
    // (empty, ".") is a file; anything else after it makes it a folder.
    {
        const std::vector<std::string> names = {"a\\.", "b\\.\\x.txt", "c\\\\d.txt", "e\\.x", "f\\..", "g\\.\\", "h\\\\."};
        ok &= Write(dir + "/dots.qvr", names, std::vector<std::size_t>(names.size(), 5),
                    [](std::size_t i, std::size_t) { return B("data" + std::to_string(i)); });
    }
    // structure: entry 2's data start inside the directory and entry 3's
    // overlap entry 1's; an empty archive beside it.
    {
        std::vector<qvr::WriterEntry> entries;
        for (int i = 0; i < 4; ++i) entries.push_back({B("s" + std::to_string(i) + ".txt"), Text(40, static_cast<std::size_t>(i))});
        auto bytes = qvr::WriteArchive(entries).bytes;
        qvr::StoreU32(DataOffsetField(bytes, entries, 2), qvr::HeaderSize + 3);
        qvr::StoreU32(DataOffsetField(bytes, entries, 3), qvr::LoadU32(DataOffsetField(bytes, entries, 1)) + 10);
        ok &= Save(dir + "/structure.qvr", bytes);
        ok &= Save(dir + "/empty.qvr", qvr::WriteArchive({}).bytes);
        // An SVG picture whose script must never run.
        const std::string svg = "<?xml version=\"1.0\"?>\n<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"40\" height=\"30\">"
                                "<script>parent.svgRan = true</script><rect width=\"40\" height=\"30\" fill=\"#2f6fbf\"/></svg>\n";
        const std::vector<qvr::WriterEntry> picture = {{B("pictures\\picture.svg"), B(svg)}};
        ok &= Save(dir + "/svg.qvr", qvr::WriteArchive(picture).bytes);
    }
    // foreign: a zip file's first bytes, and an archive's header cut short.
    ok &= Save(dir + "/foreign.zip", B(std::string("PK\x03\x04\x14\x00\x00\x00\x00\x00", 10) + "not a QVR archive"));
    ok &= Save(dir + "/cut-header.qvr", B(std::string("QVRd\0\0\0\0\0\0", 10)));
    return ok ? 0 : 1;
}
