// Makes a benchmark corpus: a folder tree of files and the QVR archive of
// exactly those files (names with backslash separators), written by the
// archive writer. The same files are what the peer archivers are given.
//
//   make_corpus small|typical|tiny OUTDIR
//     small:   65535 files of 64-512 bytes
//     typical: 2000 files of 20-400 KiB (about 400 MB)
//     tiny:    50 files, for checking that the benchmarks run
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "qvr/archive.h"

namespace fs = std::filesystem;

namespace {

struct Shape {
    std::size_t count, minSize, maxSize;
};

bool WriteAll(std::ofstream& out, const std::vector<std::uint8_t>& bytes) {
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: make_corpus small|typical|tiny OUTDIR\n");
        return 2;
    }
    Shape shape{};
    if (!std::strcmp(argv[1], "small")) shape = {65535, 64, 512};
    else if (!std::strcmp(argv[1], "typical")) shape = {2000, 20 << 10, 400 << 10};
    else if (!std::strcmp(argv[1], "tiny")) shape = {50, 1, 300};
    else {
        std::fprintf(stderr, "make_corpus: unknown corpus '%s'\n", argv[1]);
        return 2;
    }

    const fs::path out = argv[2];
    const fs::path files = out / "files";
    fs::remove_all(out);
    fs::create_directories(files);

    std::mt19937_64 rng(42);
    std::uniform_int_distribution<std::size_t> size(shape.minSize, shape.maxSize);
    std::vector<std::string> names;
    std::vector<std::uint64_t> sizes;
    for (std::size_t i = 0; i < shape.count; ++i) {
        char dir[16], name[32];
        std::snprintf(dir, sizeof dir, "d%03zu", i % 256);
        std::snprintf(name, sizeof name, "f%05zu.bin", i);
        names.push_back(std::string(dir) + "\\" + name);
        sizes.push_back(size(rng));
    }

    std::vector<qvr::EntrySpec> specs;
    for (std::size_t i = 0; i < names.size(); ++i)
        specs.push_back({std::span(reinterpret_cast<const std::uint8_t*>(names[i].data()), names[i].size()), sizes[i]});
    const auto planned = qvr::PlanArchive(specs);
    if (!planned.ok()) {
        std::fprintf(stderr, "make_corpus: %s\n", planned.error.c_str());
        return 1;
    }

    std::ofstream archive(out / "corpus.qvr", std::ios::binary);
    if (!WriteAll(archive, planned.layout.headAndDirectory)) return 1;
    std::vector<std::uint8_t> data;
    for (std::size_t i = 0; i < names.size(); ++i) {
        data.resize(sizes[i]);
        for (auto& b : data) b = static_cast<std::uint8_t>(rng());
        std::string path = names[i];
        path[path.find('\\')] = '/';
        fs::create_directories((files / path).parent_path());
        std::ofstream file(files / path, std::ios::binary);
        if (!WriteAll(file, data)) return 1;
        qvr::ScrambleContent(data);
        if (!WriteAll(archive, data)) return 1;
    }
    std::printf("%s: %zu files in %s\n", argv[1], names.size(), out.c_str());
    return archive.good() ? 0 : 1;
}
