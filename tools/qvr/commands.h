// The four commands, callable without the argument parser (tests use them
// directly); each returns an ExitStatus.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace qvr::cli {

struct CommonOptions {
    bool quiet = false;
    std::string encoding;  // iconv name; empty: names pass through as bytes
};

struct ListOptions {
    CommonOptions common;
    std::filesystem::path archive;
    bool longFormat = false;
    bool json = false;
};

struct ExtractOptions {
    CommonOptions common;
    std::filesystem::path archive;
    std::vector<std::string> names;  // exact names or shell-style patterns; empty: all
    std::filesystem::path target = ".";
    bool toStdout = false;
    bool ignoreCase = false;
    bool overwrite = false;  // default: keep existing files
    unsigned threads = 0;    // 0: choose
};

struct CreateOptions {
    CommonOptions common;
    std::filesystem::path archive;
    std::vector<std::filesystem::path> inputs;
    std::filesystem::path directory;  // -C: inputs are taken relative to this folder
    bool overwrite = false;           // replace an existing archive
};

struct TestOptions {
    CommonOptions common;
    std::filesystem::path archive;
};

int List(const ListOptions& options);
int Extract(const ExtractOptions& options);
int Create(const CreateOptions& options);
int Test(const TestOptions& options);

// Parses the command line and runs the command.
int Run(int argc, char** argv);

}  // namespace qvr::cli
