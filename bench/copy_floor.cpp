// The floor of extracting an archive's bytes into a folder: the whole file
// copied once by the kernel (sendfile, page cache to the target's pages)
// into PARTS files, one thread each, and nothing else: no name looked at,
// no file made but those. What an extraction of the same bytes into the
// same place cannot go below, on this machine, in the same run.
//
//   copy_floor FILE FOLDER [PARTS]
#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

bool CopyPart(const char* from, const std::string& to, off_t begin, off_t end) {
    const int in = open(from, O_RDONLY | O_CLOEXEC);
    const int out = open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    bool ok = in >= 0 && out >= 0;
    for (off_t at = begin; ok && at < end;) {
        const ssize_t r = sendfile(out, in, &at, static_cast<std::size_t>(end - at));
        if (r < 0 && errno == EINTR) continue;
        ok = r > 0;
    }
    if (!ok) std::fprintf(stderr, "copy_floor: %s: %s\n", to.c_str(), std::strerror(errno));
    if (in >= 0) close(in);
    if (out >= 0) close(out);
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3 || argc > 4) {
        std::fprintf(stderr, "usage: copy_floor FILE FOLDER [PARTS]\n");
        return 2;
    }
    const int parts = argc == 4 ? std::atoi(argv[3]) : 2;
    struct stat st {};
    if (parts < 1 || parts > 64 || stat(argv[1], &st) != 0) {
        std::fprintf(stderr, "copy_floor: bad part count or cannot read %s\n", argv[1]);
        return 2;
    }
    std::vector<std::thread> threads;
    std::vector<char> ok(static_cast<std::size_t>(parts), 0);
    for (int k = 0; k < parts; ++k) {
        const off_t begin = st.st_size / parts * k;
        const off_t end = k == parts - 1 ? st.st_size : st.st_size / parts * (k + 1);
        threads.emplace_back([&, k, begin, end] {
            ok[static_cast<std::size_t>(k)] =
                CopyPart(argv[1], std::string(argv[2]) + "/part" + std::to_string(k), begin, end);
        });
    }
    for (auto& t : threads) t.join();
    for (const char o : ok)
        if (!o) return 1;
    return 0;
}
