#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <iostream>
#include <new>

#include <fmt/core.h>

#include "commands/commands.h"

namespace {

// Listings, reports, help and version text all go through standard output;
// if any of it could not be written (a full disk, a closed pipe), the run
// did not do its job and must not say it did.
int CheckStandardOutput(int status) {
    std::cout.flush();
    const bool coutFailed = !std::cout;
    const bool stdoutFailed = std::fflush(stdout) != 0 || std::ferror(stdout);
    if (!coutFailed && !stdoutFailed) return status;
    const int error = errno;
    fmt::print(stderr, "qvr: cannot write to standard output: {}\n",
               error ? std::strerror(error) : "write error");
    return status == 0 ? 1 : status;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return CheckStandardOutput(qvr::cli::Run(argc, argv));
    } catch (const std::bad_alloc&) {
        fmt::print(stderr, "qvr: out of memory\n");
    } catch (const std::exception& e) {
        fmt::print(stderr, "qvr: {}\n", e.what());
    }
    return 2;
}
