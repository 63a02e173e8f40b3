// qvrhost: lists, looks up and extracts archive entries through a plug-in
// DLL, exactly as a host application drives one. Everything it receives
// from the plug-in it frees with LocalFree.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include <windows.h>

#include "entry_name.h"
#include "plugin_library.h"

namespace qvrhost {
namespace {

constexpr const char* Usage = R"(usage: qvrhost PLUGIN COMMAND [ARGS] [OPTIONS]

Loads the plug-in DLL PLUGIN (for example AXQVR.SPI) and calls it as a host
application does.

Commands:
  info                      print the plug-in's identification texts
  probe ARCHIVE             ask whether ARCHIVE is in the plug-in's format
  list ARCHIVE              list the entries: index, size and name
  find ARCHIVE NAME         look an entry up by name
  extract ARCHIVE DIR [INDEX...]
                            extract the entries (all, or those given) into DIR

Options:
  --memory         read ARCHIVE into memory and hand the plug-in its image
                   instead of the file's name
  --offset N       the archive begins N bytes into ARCHIVE (list, find; and
                   extract with --memory)
  --ignore-case    find: compare names without regard to case (A-Z)
  --plugin-writes  extract: let the plug-in write each entry into DIR itself
                   (disk output); by default the host receives each entry in
                   a memory block and writes it
  --help           show this text

Exit status: 0 on success, 1 when the plug-in reports a failure, 2 on a usage error.
)";

struct Options {
    std::string plugin;
    std::string command;
    std::vector<std::string> args;
    bool memory = false;
    bool ignoreCase = false;
    bool pluginWrites = false;
    long offset = 0;
};

int UsageError(const char* message) {
    std::fprintf(stderr, "qvrhost: %s\n(qvrhost --help shows the usage)\n", message);
    return 2;
}

int PluginFailure(const char* what, std::int32_t code) {
    std::fprintf(stderr, "qvrhost: %s: %s (%d)\n", what, ResultName(code), static_cast<int>(code));
    return 1;
}

std::vector<char> ReadWholeFile(const std::string& path, bool& ok) {
    std::vector<char> bytes;
    ok = false;
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return bytes;
    LARGE_INTEGER size{};
    if (GetFileSizeEx(file, &size) && size.QuadPart < 0x7FFFFFFF) {
        bytes.resize(static_cast<std::size_t>(size.QuadPart));
        DWORD got = 0;
        ok = bytes.empty() ||
             (ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &got, nullptr) && got == bytes.size());
    }
    CloseHandle(file);
    return bytes;
}

// The archive as the plug-in is to see it: a file's name and start offset,
// or the image of the archive in memory.
struct Source {
    std::vector<char> image;  // memory source only
    std::string path;
    std::int32_t length = 0;
    std::uint32_t inputKind = 0;
    const char* Pointer() const { return inputKind == 1 ? image.data() : path.c_str(); }
};

bool MakeSource(const Options& o, const std::string& path, Source& s) {
    s.path = path;
    s.length = static_cast<std::int32_t>(o.offset);
    if (!o.memory) return true;
    bool ok = false;
    std::vector<char> file = ReadWholeFile(path, ok);
    if (!ok) {
        std::fprintf(stderr, "qvrhost: cannot read %s\n", path.c_str());
        return false;
    }
    if (o.offset < 0 || static_cast<std::size_t>(o.offset) > file.size()) {
        std::fprintf(stderr, "qvrhost: offset %ld lies outside %s\n", o.offset, path.c_str());
        return false;
    }
    s.image.assign(file.begin() + o.offset, file.end());
    s.length = static_cast<std::int32_t>(s.image.size());
    s.inputKind = 1;
    return true;
}

// A block the plug-in handed over; ours to free.
class Received {
public:
    ~Received() {
        if (handle_ != nullptr) LocalFree(handle_);
    }
    axqvr::LocalHandle* Slot() { return &handle_; }
    HLOCAL Get() const { return handle_; }

private:
    axqvr::LocalHandle handle_ = nullptr;
};

std::vector<axqvr::FileInfoRecord> Records(const Received& block) {
    std::vector<axqvr::FileInfoRecord> records;
    const auto* p = static_cast<const axqvr::FileInfoRecord*>(LocalLock(block.Get()));
    if (p == nullptr) return records;
    const std::size_t capacity = LocalSize(block.Get()) / sizeof(axqvr::FileInfoRecord);
    for (std::size_t i = 0; i < capacity && !axqvr::EndsListing(p[i]); ++i) records.push_back(p[i]);
    LocalUnlock(block.Get());
    return records;
}

int Info(const PluginLibrary& plugin) {
    for (std::int32_t i = 0; i < 4; ++i) {
        char text[512];
        plugin.getPluginInfo(i, text, sizeof text);
        std::printf("%d: %s\n", static_cast<int>(i), text);
    }
    return 0;
}

int Probe(const PluginLibrary& plugin, const std::string& path) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "qvrhost: cannot open %s\n", path.c_str());
        return 1;
    }
    const std::int32_t supported = plugin.isSupported(path.c_str(), reinterpret_cast<std::uintptr_t>(file));
    CloseHandle(file);
    std::printf("%s: %s\n", path.c_str(), supported ? "supported" : "not supported");
    return supported ? 0 : 1;
}

bool ListAll(const PluginLibrary& plugin, const Source& source, std::vector<axqvr::FileInfoRecord>& records) {
    Received block;
    const std::int32_t r = plugin.getArchiveInfo(source.Pointer(), source.length, source.inputKind, block.Slot());
    if (r != 0) {
        PluginFailure("GetArchiveInfo", r);
        return false;
    }
    records = Records(block);
    return true;
}

int List(const PluginLibrary& plugin, const Source& source) {
    std::vector<axqvr::FileInfoRecord> records;
    if (!ListAll(plugin, source, records)) return 1;
    std::printf("%6s %10s  %s\n", "index", "size", "name");
    for (const auto& r : records)
        std::printf("%6u %10u  %s\n", static_cast<unsigned>(r.position), static_cast<unsigned>(r.extractedSize),
                    r.fileName.data());
    std::printf("%zu entries\n", records.size());
    return 0;
}

int Find(const PluginLibrary& plugin, const Source& source, const std::string& name, bool ignoreCase) {
    axqvr::FileInfoRecord record{};
    const std::uint32_t flags = source.inputKind | (ignoreCase ? axqvr::IgnoreCaseFlag : 0);
    const std::int32_t r = plugin.getFileInfo(source.Pointer(), source.length, name.c_str(), flags, &record);
    if (r != 0) return PluginFailure("GetFileInfo", r);
    std::printf("%6u %10u  %s\n", static_cast<unsigned>(record.position),
                static_cast<unsigned>(record.extractedSize), record.fileName.data());
    return 0;
}

bool WriteBlockToFile(const std::string& path, HLOCAL block, std::uint32_t size) {
    const void* data = size == 0 ? nullptr : LocalLock(block);
    if (size != 0 && data == nullptr) return false;
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    bool ok = file != INVALID_HANDLE_VALUE;
    if (ok && size != 0) {
        DWORD written = 0;
        ok = WriteFile(file, data, size, &written, nullptr) && written == size;
    }
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    if (data != nullptr) LocalUnlock(block);
    return ok;
}

int Extract(const PluginLibrary& plugin, const Options& o, const Source& source, const std::string& dir,
            const std::vector<std::string>& indexes) {
    if (source.inputKind == 0 && source.length != 0)
        return UsageError("GetFile reads an archive file from its first byte: use --memory with --offset");
    std::vector<axqvr::FileInfoRecord> records;
    if (!ListAll(plugin, source, records)) return 1;
    std::vector<axqvr::FileInfoRecord> wanted;
    for (const auto& text : indexes) {
        const unsigned long i = std::strtoul(text.c_str(), nullptr, 10);
        if (i >= records.size()) return UsageError("an index lies outside the archive");
        wanted.push_back(records[i]);
    }
    if (indexes.empty()) wanted = records;

    // Full names of the archive and the output directory, since disk output
    // needs the output directory to be the current one.
    char full[MAX_PATH];
    const std::string archivePath = GetFullPathNameA(source.path.c_str(), MAX_PATH, full, nullptr) ? full : source.path;
    CreateDirectoryA(dir.c_str(), nullptr);
    const std::string outDir = GetFullPathNameA(dir.c_str(), MAX_PATH, full, nullptr) ? full : dir;
    if (o.pluginWrites && !SetCurrentDirectoryA(outDir.c_str())) {
        std::fprintf(stderr, "qvrhost: cannot enter %s\n", outDir.c_str());
        return 1;
    }

    int status = 0;
    for (const auto& record : wanted) {
        const char* name = record.fileName.data();
        // A memory source carries the index in the pointer; a file source in the length.
        const char* pointer =
            source.inputKind == 1 ? source.image.data() + record.position : archivePath.c_str();
        const std::int32_t length = source.inputKind == 1 ? 0 : static_cast<std::int32_t>(record.position);
        const std::uint32_t output = o.pluginWrites ? 0u : 1u;
        Received block;
        const std::int32_t r = plugin.getFile(pointer, length, block.Slot(),
                                              source.inputKind | (output << axqvr::OutputKindShift), nullptr, 0);
        if (r != 0) {
            std::fprintf(stderr, "qvrhost: %s: ", name);
            status = PluginFailure("GetFile", r);
            continue;
        }
        if (!o.pluginWrites) {
            // Names come from the archive: only those the plug-in's own
            // disk output would write, and only below DIR.
            if (!axqvr::IsSafeEntryName(name)) {
                std::fprintf(stderr, "qvrhost: %s: not written, not a safe file name below %s\n", name, dir.c_str());
                status = 1;
                continue;
            }
            if (!WriteBlockToFile(outDir + "\\" + name, block.Get(), record.extractedSize)) {
                std::fprintf(stderr, "qvrhost: %s: cannot write it into %s\n", name, dir.c_str());
                status = 1;
                continue;
            }
        }
        std::printf("extracted %s (%u bytes)\n", name, static_cast<unsigned>(record.extractedSize));
    }
    return status;
}

bool ParseArguments(int argc, char** argv, Options& o, bool& help) {
    std::vector<std::string> positional;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--help" || a == "-h") help = true;
        else if (a == "--memory") o.memory = true;
        else if (a == "--ignore-case") o.ignoreCase = true;
        else if (a == "--plugin-writes") o.pluginWrites = true;
        else if (a == "--offset" && i + 1 < argc) o.offset = std::strtol(argv[++i], nullptr, 10);
        else if (a.rfind("--", 0) == 0) return false;
        else positional.push_back(a);
    }
    if (positional.size() < 2) return help;
    o.plugin = positional[0];
    o.command = positional[1];
    o.args.assign(positional.begin() + 2, positional.end());
    return true;
}

int Run(int argc, char** argv) {
    Options o;
    bool help = false;
    if (!ParseArguments(argc, argv, o, help)) return UsageError("unknown option or missing command");
    if (help) {
        std::fputs(Usage, stdout);
        return 0;
    }
    PluginLibrary plugin(o.plugin);
    if (!plugin.Loaded()) {
        std::fprintf(stderr, "qvrhost: %s\n", plugin.Error().c_str());
        return 1;
    }
    if (o.command == "info" && o.args.empty()) return Info(plugin);
    if (o.command == "probe" && o.args.size() == 1) return Probe(plugin, o.args[0]);

    if (o.args.empty()) return UsageError("no archive named");
    Source source;
    if (!MakeSource(o, o.args[0], source)) return 1;
    if (o.command == "list" && o.args.size() == 1) return List(plugin, source);
    if (o.command == "find" && o.args.size() == 2) return Find(plugin, source, o.args[1], o.ignoreCase);
    if (o.command == "extract" && o.args.size() >= 2)
        return Extract(plugin, o, source, o.args[1], std::vector<std::string>(o.args.begin() + 2, o.args.end()));
    return UsageError("unknown command or wrong number of arguments");
}

}  // namespace
}  // namespace qvrhost

int main(int argc, char** argv) { return qvrhost::Run(argc, argv); }
