// Writes the archive the mount scenario mounts, with the archive writer:
// folders, CP932 names (one with 0x5C trail bytes), a repeated path, names
// that extraction refuses, an empty entry, and a last entry large enough to
// cut short.
#include <cstdio>
#include <fstream>
#include <string_view>

#include "qvr/archive.h"

namespace {

std::vector<std::uint8_t> Bytes(std::string_view s) { return {s.begin(), s.end()}; }

std::vector<std::uint8_t> Pattern(std::size_t n, std::uint8_t seed) {
    std::vector<std::uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::uint8_t>(seed + i * 13 + (i >> 8));
    return v;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: mount_fixture OUT.qvr\n");
        return 2;
    }
    const std::vector<qvr::WriterEntry> entries{
        {Bytes("readme.txt"), Pattern(300 << 10, 1)},  // more than one read request
        {Bytes("doc\\notes.txt"), Bytes("first\n")},
        {Bytes("doc/notes.txt"), Bytes("second\n")},
        {{0x95, 0x5C, 0x8E, 0xA6, 0x5C, 0x83, 0x5C, '.', 't', 'x', 't'}, Bytes("hyouji/so\n")},  // 表示\ソ.txt
        {{0x93, 0xFA, 0x96, 0x7B, '\\', 0x83, 0x66, 0x81, 0x5B, 0x83, 0x5E}, Pattern(5000, 2)},  // 日本\データ
        {Bytes("empty.dat"), {}},
        {Bytes("..\\escape.txt"), Bytes("outside\n")},
        {Bytes(""), Bytes("no name\n")},
        {Bytes("zz\\last.bin"), Pattern(200000, 3)},
    };
    const auto archive = qvr::WriteArchive(entries);
    std::ofstream out(argv[1], std::ios::binary);
    out.write(reinterpret_cast<const char*>(archive.bytes.data()), static_cast<std::streamsize>(archive.bytes.size()));
    return archive.ok() && out ? 0 : 1;
}
