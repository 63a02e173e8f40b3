// Makes the bundled sample: a few small files under DIR/sample/ and the
// archive DIR/sample.qvr that holds them, written by the archive core's
// writer. Run through samples/make-sample; the results are committed.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "qvr/writer.h"

namespace {

std::vector<std::uint8_t> Bytes(std::string_view s) { return {s.begin(), s.end()}; }

// Every byte value once, then a stretch of a slow ramp: binary content
// whose first 50 bytes are scrambled in the archive and the rest not.
std::vector<std::uint8_t> Table() {
    std::vector<std::uint8_t> v;
    for (int i = 0; i < 256; ++i) v.push_back(static_cast<std::uint8_t>(i));
    for (int i = 0; i < 700; ++i) v.push_back(static_cast<std::uint8_t>((i * 7) / 11));
    return v;
}

bool WriteFile(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return out.good();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_sample DIR\n");
        return 2;
    }
    const std::filesystem::path dir = argv[1];
    const std::vector<qvr::WriterEntry> entries = {
        {Bytes("readme.txt"),
         Bytes("This is the sample archive of the qvr project.\r\n"
               "It holds a few small files: this text, a short note, and a table of bytes.\r\n"
               "Names are scrambled in the directory, and so are the first 50 bytes of every file;\r\n"
               "everything after those 50 bytes is stored as it is.\r\n")},
        {Bytes("note.txt"), Bytes("Shorter than fifty bytes.\r\n")},
        {Bytes("table.bin"), Table()},
    };

    std::filesystem::create_directories(dir / "sample");
    for (const auto& e : entries) {
        if (!WriteFile(dir / "sample" / std::string(e.name.begin(), e.name.end()), e.content)) {
            std::fprintf(stderr, "make_sample: cannot write into %s\n", (dir / "sample").c_str());
            return 1;
        }
    }
    const qvr::ArchiveBytes archive = qvr::WriteArchive(entries);
    if (!archive.ok()) {
        std::fprintf(stderr, "make_sample: %s\n", archive.error.c_str());
        return 1;
    }
    if (!WriteFile(dir / "sample.qvr", archive.bytes)) {
        std::fprintf(stderr, "make_sample: cannot write %s\n", (dir / "sample.qvr").c_str());
        return 1;
    }
    std::printf("wrote %s and %zu files under %s\n", (dir / "sample.qvr").c_str(), entries.size(),
                (dir / "sample").c_str());
    return 0;
}
