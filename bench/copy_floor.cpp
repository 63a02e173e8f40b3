// The floor of extracting an archive into a folder: the archive's bytes
// copied once by the kernel (sendfile, page cache to the target's pages)
// into PARTS files, one thread each, and FILES more made empty in 256
// folders (open and close, shared among the threads), and nothing else: no
// name looked at, no byte copied twice. What an extraction of the same
// bytes into as many files in the same place cannot go below, on this
// machine, in the same run.
//
// With --each, the bytes go instead into the FILES files themselves, each
// its equal share by one sendfile, the files shared among PARTS threads:
// what writing every entry into a file of its own costs, with no name
// looked at, nothing descrambled and no file made without a name first.
//
//   copy_floor [--each] FILE FOLDER [PARTS [FILES]]
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

constexpr int Folders = 256;

bool Fail(const std::string& what) {
    std::fprintf(stderr, "copy_floor: %s: %s\n", what.c_str(), std::strerror(errno));
    return false;
}

bool CopyPart(const char* from, const std::string& to, off_t begin, off_t end) {
    const int in = open(from, O_RDONLY | O_CLOEXEC);
    const int out = open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    bool ok = in >= 0 && out >= 0;
    for (off_t at = begin; ok && at < end;) {
        const ssize_t r = sendfile(out, in, &at, static_cast<std::size_t>(end - at));
        if (r < 0 && errno == EINTR) continue;
        ok = r > 0;
    }
    if (!ok) Fail(to);
    if (in >= 0) close(in);
    if (out >= 0) close(out);
    return ok;
}

// Files `first`, `first + step`, ... below `count`, each made in its folder:
// empty, or (`in` open) holding its share of the `total` bytes of `in`.
bool MakeFiles(const std::vector<int>& folders, long first, long step, long count, int in, off_t total) {
    for (long i = first; i < count; i += step) {
        const std::string name = "f" + std::to_string(i);
        const int fd = openat(folders[static_cast<std::size_t>(i % Folders)], name.c_str(),
                              O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd < 0) return Fail(name);
        off_t at = in < 0 ? 0 : total / count * i;
        const off_t end = in < 0 ? 0 : i == count - 1 ? total : total / count * (i + 1);
        while (at < end) {
            const ssize_t r = sendfile(fd, in, &at, static_cast<std::size_t>(end - at));
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0) {
                close(fd);
                return Fail(name);
            }
        }
        close(fd);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const bool each = argc > 1 && std::strcmp(argv[1], "--each") == 0;
    if (each) {
        --argc;
        ++argv;
    }
    if (argc < 3 || argc > 5) {
        std::fprintf(stderr, "usage: copy_floor [--each] FILE FOLDER [PARTS [FILES]]\n");
        return 2;
    }
    const int parts = argc >= 4 ? std::atoi(argv[3]) : 2;
    const long files = argc >= 5 ? std::atol(argv[4]) : 0;
    struct stat st {};
    if (parts < 1 || parts > 64 || files < (each ? 1 : 0) || stat(argv[1], &st) != 0) {
        std::fprintf(stderr, "copy_floor: bad counts, or cannot read %s\n", argv[1]);
        return 2;
    }
    const std::string folder = argv[2];
    std::vector<int> folders;
    for (int d = 0; files > 0 && d < Folders; ++d) {
        const std::string path = folder + "/d" + std::to_string(d);
        if (mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) {
            Fail(path);
            return 1;
        }
        folders.push_back(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (folders.back() < 0) {
            Fail(path);
            return 1;
        }
    }
    std::vector<std::thread> threads;
    std::vector<char> ok(static_cast<std::size_t>(parts), 0);
    for (int k = 0; k < parts; ++k) {
        const off_t begin = st.st_size / parts * k;
        const off_t end = k == parts - 1 ? st.st_size : st.st_size / parts * (k + 1);
        threads.emplace_back([&, k, begin, end] {
            if (each) {
                const int in = open(argv[1], O_RDONLY | O_CLOEXEC);
                ok[static_cast<std::size_t>(k)] = in >= 0 ? MakeFiles(folders, k, parts, files, in, st.st_size)
                                                          : Fail(argv[1]);
                if (in >= 0) close(in);
                return;
            }
            ok[static_cast<std::size_t>(k)] =
                CopyPart(argv[1], folder + "/part" + std::to_string(k), begin, end) &&
                MakeFiles(folders, k, parts, files, -1, 0);
        });
    }
    for (auto& t : threads) t.join();
    for (const char o : ok)
        if (!o) return 1;
    return 0;
}
