// Helpers for the tool's tests: scratch folders, files, archives made by the
// writer, and running the built qvr binary as a process.
#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "qvr/archive.h"

extern char** environ;

namespace qvr::tooltest {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

inline Bytes B(std::string_view s) { return {s.begin(), s.end()}; }

inline Bytes Pattern(std::size_t n, std::uint8_t seed) {
    Bytes v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::uint8_t>(seed + i * 13 + (i >> 8));
    return v;
}

inline void WriteFile(const fs::path& p, const Bytes& bytes) {
    if (p.has_parent_path()) fs::create_directories(p.parent_path());
    std::ofstream out(p, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline Bytes ReadFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline Bytes Archive(const std::vector<WriterEntry>& entries) {
    auto written = WriteArchive(entries);
    EXPECT_TRUE(written.ok()) << written.error;
    return std::move(written.bytes);
}

// Every regular file under `root`, by relative path, with its bytes.
inline std::map<std::string, Bytes> Tree(const fs::path& root) {
    std::map<std::string, Bytes> files;
    for (const auto& e : fs::recursive_directory_iterator(root))
        if (e.is_regular_file()) files[fs::relative(e.path(), root).string()] = ReadFile(e.path());
    return files;
}

// Names of leftover temporary files anywhere under `root`.
inline std::vector<std::string> Leftovers(const fs::path& root) {
    std::vector<std::string> names;
    if (!fs::exists(root)) return names;
    for (const auto& e : fs::recursive_directory_iterator(root))
        if (e.path().filename().string().starts_with(".qvr-")) names.push_back(e.path().string());
    return names;
}

// A fresh folder per test, removed afterwards.
class Scratch : public ::testing::Test {
protected:
    void SetUp() override {
        std::string templ = (fs::temp_directory_path() / "qvr-tool-XXXXXX").string();
        ASSERT_NE(mkdtemp(templ.data()), nullptr);
        dir = templ;
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
    fs::path dir;
};

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs the built qvr with these arguments; output goes through files, so
// nothing can block.
inline Outcome RunQvr(const std::vector<std::string>& args, const fs::path& cwd = {}) {
    const fs::path scratch = fs::temp_directory_path();
    const std::string tag = std::to_string(getpid()) + "-" + std::to_string(std::rand());
    const fs::path outPath = scratch / ("qvr-out-" + tag), errPath = scratch / ("qvr-err-" + tag);

    std::vector<std::string> argv{QVR_BINARY};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> cargv;
    for (auto& a : argv) cargv.push_back(a.data());
    cargv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (!cwd.empty()) posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
    pid_t pid = 0;
    Outcome outcome;
    if (posix_spawn(&pid, QVR_BINARY, &actions, nullptr, cargv.data(), environ) == 0) {
        int status = 0;
        waitpid(pid, &status, 0);
        outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    posix_spawn_file_actions_destroy(&actions);
    const auto out = ReadFile(outPath), err = ReadFile(errPath);
    outcome.out.assign(out.begin(), out.end());
    outcome.err.assign(err.begin(), err.end());
    fs::remove(outPath);
    fs::remove(errPath);
    return outcome;
}

}  // namespace qvr::tooltest
