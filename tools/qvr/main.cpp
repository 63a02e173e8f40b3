#include <exception>
#include <new>

#include <fmt/core.h>

#include "commands.h"

int main(int argc, char** argv) {
    try {
        return qvr::cli::Run(argc, argv);
    } catch (const std::bad_alloc&) {
        fmt::print(stderr, "qvr: out of memory\n");
    } catch (const std::exception& e) {
        fmt::print(stderr, "qvr: {}\n", e.what());
    }
    return 2;
}
