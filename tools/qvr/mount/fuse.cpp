#include "mount/fuse_library.h"

#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <fstream>
#include <new>
#include <vector>

#include <fmt/core.h>

#include "mount/fuse.h"
#include "mount/mountinfo.h"
#include "qvr/scramble.h"

namespace qvr::cli {
namespace {

// libfuse3's functions, set once by ServeMount before any session exists.
const FuseLibrary* fuse = nullptr;

// Nothing in a mounted archive ever changes, so the kernel may keep names
// and attributes for as long as it likes.
constexpr double CacheSeconds = 86400.0;
constexpr unsigned long BlockSize = 4096;
// Reads as large as the kernel will send: fewer round trips for big files.
constexpr unsigned LargestRead = 1u << 20;

struct Server {
    const MountTree& tree;
    MountSource& source;
    uid_t uid = getuid();
    gid_t gid = getgid();
    // Whether open asks anything of this server: only an entry the archive
    // ends inside needs it (read uncached, see Open). Otherwise, where the
    // kernel can do without, opens and their releases never come here
    // (set once, by Init, before any open arrives).
    bool cutEntries = false;
    std::atomic<bool> opensSkipped{false};
    std::atomic<bool> folderOpensSkipped{false};
};

bool HasCutEntries(const MountTree& tree, const MountSource& source) {
    for (NodeId id = 0; id < tree.Size(); ++id)
        if (!tree.Node(id).folder && source.CutShort(tree.Node(id))) return true;
    return false;
}

Server& ServerOf(fuse_req_t req) { return *static_cast<Server*>(fuse->req_userdata(req)); }

// FUSE numbers the root 1; the tree numbers it 0.
fuse_ino_t InodeOf(NodeId id) { return fuse_ino_t{id} + 1; }

bool NodeOf(const Server& server, fuse_ino_t ino, NodeId& id) {
    if (ino == 0 || !server.tree.Contains(static_cast<NodeId>(ino - 1))) return false;
    id = static_cast<NodeId>(ino - 1);
    return true;
}

struct stat StatOf(const Server& server, NodeId id) {
    const MountNode& node = server.tree.Node(id);
    struct stat st {};
    st.st_ino = InodeOf(id);
    if (node.folder) {
        st.st_mode = S_IFDIR | 0555;
        st.st_nlink = 2 + node.subfolders;
    } else {
        st.st_mode = S_IFREG | 0444;
        st.st_nlink = 1;
        st.st_size = node.dataSize;
        st.st_blocks = (static_cast<blkcnt_t>(node.dataSize) + 511) / 512;
    }
    st.st_uid = server.uid;
    st.st_gid = server.gid;
    st.st_atim = st.st_mtim = st.st_ctim = server.source.ModificationTime();
    return st;
}

void Lookup(fuse_req_t req, fuse_ino_t parent, const char* name) {
    const Server& server = ServerOf(req);
    NodeId folder = 0;
    if (!NodeOf(server, parent, folder) || !server.tree.Node(folder).folder) {
        fuse->reply_err(req, ENOTDIR);
        return;
    }
    fuse_entry_param entry{};
    // A name that is not there stays not there: ino 0 lets the kernel
    // remember that, as it remembers names that are.
    entry.entry_timeout = CacheSeconds;
    if (const auto found = server.tree.Find(folder, name)) {
        entry.ino = InodeOf(*found);
        entry.attr = StatOf(server, *found);
        entry.attr_timeout = CacheSeconds;
    }
    fuse->reply_entry(req, &entry);
}

void GetAttr(fuse_req_t req, fuse_ino_t ino, fuse_file_info*) {
    const Server& server = ServerOf(req);
    NodeId id = 0;
    if (!NodeOf(server, ino, id)) {
        fuse->reply_err(req, ENOENT);
        return;
    }
    const struct stat st = StatOf(server, id);
    fuse->reply_attr(req, &st, CacheSeconds);
}

void Open(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
    const Server& server = ServerOf(req);
    // The kernel then opens every file itself, keeping its cache, and
    // sends no open (nor release) again.
    if (server.opensSkipped) {
        fuse->reply_err(req, ENOSYS);
        return;
    }
    NodeId id = 0;
    if (!NodeOf(server, ino, id)) {
        fuse->reply_err(req, ENOENT);
        return;
    }
    if (server.tree.Node(id).folder) {
        fuse->reply_err(req, EISDIR);
        return;
    }
    if ((fi->flags & O_ACCMODE) != O_RDONLY) {
        fuse->reply_err(req, EROFS);
        return;
    }
    // The data never change, so pages read once serve every later open.
    // An entry the archive ends inside goes uncached and unaligned: the
    // page cache would fill the missing bytes of a short read with zeros,
    // so its reads reach the server as made, and end in EIO where the
    // archive ends.
    const bool cut = server.source.CutShort(server.tree.Node(id));
    fi->keep_cache = !cut;
    fi->direct_io = cut;
    fuse->reply_open(req, fi);
}

void Init(void* userdata, fuse_conn_info* conn) {
    auto& server = *static_cast<Server*>(userdata);
    conn->max_read = LargestRead;  // as the mount option says; libfuse checks the two agree
    conn->max_readahead = LargestRead;
    conn->max_write = LargestRead;
    // Bytes stored as they are go from the archive to the kernel without
    // passing through this process, where libfuse can splice.
    if (conn->capable & FUSE_CAP_SPLICE_WRITE) conn->want |= FUSE_CAP_SPLICE_WRITE;
    // An open costs a round trip to this process and its release another,
    // for every file a reader opens; a folder the same. Unanswered (ENOSYS,
    // where the kernel takes that as success), the kernel opens with the
    // cache kept, as Open and OpenDir would say.
    server.opensSkipped = !server.cutEntries && (conn->capable & FUSE_CAP_NO_OPEN_SUPPORT);
    server.folderOpensSkipped = (conn->capable & FUSE_CAP_NO_OPENDIR_SUPPORT) != 0;
}

// Replies with the entry's bytes from `offset`: the scrambled head (if the
// read starts in it) descrambled in memory, the rest as it lies in the
// archive file, for the kernel to take straight from there. False when
// the head could not be read; nothing is sent then.
bool ReplyFromArchive(fuse_req_t req, Server& server, const MountNode& file, std::size_t size, std::uint64_t offset) {
    const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(size, file.dataSize - offset));
    std::array<std::uint8_t, ScrambledContentSize> head{};
    const std::size_t headSize = offset < head.size() ? std::min(want, head.size() - offset) : 0;
    if (headSize > 0 && server.source.Read(file, offset, std::span(head).first(headSize)).size != headSize)
        return false;
    // A vector of two buffers, laid out as libfuse expects (one is declared).
    alignas(fuse_bufvec) unsigned char storage[sizeof(fuse_bufvec) + sizeof(fuse_buf)] = {};
    auto* data = new (storage) fuse_bufvec(FUSE_BUFVEC_INIT(headSize));
    data->buf[0].mem = head.data();
    fuse_buf& rest = data->buf[headSize > 0 ? 1 : 0];
    data->count = headSize > 0 ? 2 : 1;
    rest.size = want - headSize;
    rest.flags = static_cast<fuse_buf_flags>(FUSE_BUF_IS_FD | FUSE_BUF_FD_SEEK | FUSE_BUF_FD_RETRY);
    rest.fd = server.source.Handle();
    rest.pos = static_cast<off_t>(std::uint64_t{file.dataOffset} + offset + headSize);
    fuse->reply_data(req, data, FUSE_BUF_SPLICE_MOVE);
    return true;
}

void Read(fuse_req_t req, fuse_ino_t ino, std::size_t size, off_t offset, fuse_file_info*) {
    Server& server = ServerOf(req);
    NodeId id = 0;
    if (!NodeOf(server, ino, id) || server.tree.Node(id).folder || offset < 0) {
        fuse->reply_err(req, EINVAL);
        return;
    }
    const MountNode& file = server.tree.Node(id);
    const auto at = static_cast<std::uint64_t>(offset);
    // An entry the archive ends inside is read through memory, where a
    // short read is seen; past its end there is nothing to send.
    if (!server.source.CutShort(file) && at < file.dataSize) {
        // The bytes leave with the reply, so the archive is checked just
        // before; a change fails every read from then on.
        if (!server.source.Unchanged() || !ReplyFromArchive(req, server, file, size, at)) fuse->reply_err(req, EIO);
        return;
    }
    thread_local std::vector<std::uint8_t> buffer;
    if (buffer.size() < size) buffer.resize(size);
    const auto read = server.source.Read(server.tree.Node(id), static_cast<std::uint64_t>(offset),
                                         std::span(buffer).first(size));
    if (read.error != 0)
        fuse->reply_err(req, read.error);
    else
        fuse->reply_buf(req, reinterpret_cast<const char*>(buffer.data()), read.size);
}

void OpenDir(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
    const Server& server = ServerOf(req);
    if (server.folderOpensSkipped) {
        fuse->reply_err(req, ENOSYS);
        return;
    }
    NodeId id = 0;
    if (!NodeOf(server, ino, id)) {
        fuse->reply_err(req, ENOENT);
        return;
    }
    if (!server.tree.Node(id).folder) {
        fuse->reply_err(req, ENOTDIR);
        return;
    }
    fi->cache_readdir = 1;
    fi->keep_cache = 1;
    fuse->reply_open(req, fi);
}

// Entry k of a folder's listing: "." and ".." first, then the children in
// their sorted order; the offset handed back with entry k is k + 1.
void ReadDir(fuse_req_t req, fuse_ino_t ino, std::size_t size, off_t offset, fuse_file_info*) {
    const Server& server = ServerOf(req);
    NodeId id = 0;
    if (!NodeOf(server, ino, id) || !server.tree.Node(id).folder || offset < 0) {
        fuse->reply_err(req, ENOTDIR);
        return;
    }
    const auto children = server.tree.Children(id);
    std::vector<char> out(size);
    std::size_t used = 0;
    for (auto k = static_cast<std::size_t>(offset); k < children.size() + 2; ++k) {
        const NodeId node = k == 0 ? id : k == 1 ? server.tree.Node(id).parent : children[k - 2];
        const char* name = k == 0 ? "." : k == 1 ? ".." : server.tree.Name(node).data();
        struct stat st {};
        st.st_ino = InodeOf(node);
        st.st_mode = server.tree.Node(node).folder ? S_IFDIR : S_IFREG;
        const std::size_t need =
            fuse->add_direntry(req, out.data() + used, size - used, name, &st, static_cast<off_t>(k + 1));
        if (need > size - used) break;
        used += need;
    }
    fuse->reply_buf(req, out.data(), used);
}

void StatFs(fuse_req_t req, fuse_ino_t) {
    const Server& server = ServerOf(req);
    struct statvfs st {};
    st.f_bsize = st.f_frsize = BlockSize;
    st.f_blocks = (server.tree.FileBytes() + BlockSize - 1) / BlockSize;
    st.f_files = server.tree.Size();
    st.f_namemax = 1024;  // what FUSE lets a name be; a converted name may pass 255 bytes
    st.f_flag = ST_RDONLY;
    fuse->reply_statfs(req, &st);
}

// Mount options take commas as separators and backslashes as escapes.
std::string EscapeOption(const std::string& value) {
    std::string out;
    for (const char c : value) {
        if (c == ',' || c == '\\') out.push_back('\\');
        out.push_back(c);
    }
    return out;
}

// How far the kernel reads ahead of a reader is the lesser of the mount's
// own device setting (/sys/class/bdi/MAJOR:MINOR/read_ahead_kb, 128 KiB for
// a new FUSE mount) and what Init asks for. Only root may raise the first;
// raised here, after mounting and before Init's answer reaches the kernel,
// it ends at Init's. The kernel's window for a file grows from 16 KiB
// four times at a step instead of two, so a file of 300 KiB comes in four
// requests, not five, and the window can reach a megabyte. Where it
// cannot be raised the mount works as before, only slower on first reads.
void WidenReadahead(const std::filesystem::path& mountPoint) {
    const auto mounted = MountAt(mountPoint);
    if (!mounted) return;
    std::ofstream setting("/sys/class/bdi/" + mounted->device + "/read_ahead_kb");
    setting << LargestRead / 1024;
}

// The session, its signal handlers and its mount, undone in reverse order
// on every way out.
class Session {
public:
    Session(const fuse_lowlevel_ops& ops, Server& server, const std::string& source) {
        // auto_unmount: a helper takes the mount away if this process dies
        // without unmounting, so not even a crash leaves a dead mount behind.
        const std::string options = "ro,default_permissions,auto_unmount,max_read=" + std::to_string(LargestRead) +
                                    ",subtype=qvr,fsname=" + EscapeOption(source);
        fuse_args args = FUSE_ARGS_INIT(0, nullptr);
        if (fuse->opt_add_arg(&args, "qvr") == 0 && fuse->opt_add_arg(&args, "-o") == 0 &&
            fuse->opt_add_arg(&args, options.c_str()) == 0)
            se_ = fuse->session_new(&args, &ops, sizeof ops, &server);
        fuse->opt_free_args(&args);
        if (se_ && fuse->set_signal_handlers(se_) == 0) handlers_ = true;
    }
    ~Session() {
        if (mounted_) fuse->session_unmount(se_);
        if (handlers_) fuse->remove_signal_handlers(se_);
        if (se_) fuse->session_destroy(se_);
    }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    bool Ready() const noexcept { return se_ != nullptr && handlers_; }
    bool Mount(const std::filesystem::path& at) { return mounted_ = fuse->session_mount(se_, at.c_str()) == 0; }
    fuse_session* Get() const noexcept { return se_; }

private:
    fuse_session* se_ = nullptr;
    bool handlers_ = false;
    bool mounted_ = false;
};

}  // namespace

int ServeMount(const MountTree& tree, MountSource& source, const ServeOptions& options, Reporter& reporter) {
    std::string unavailable;
    fuse = LoadFuseLibrary(unavailable);
    if (!fuse) {
        reporter.Say(unavailable);
        return ExitSomeFailed;
    }
    fuse_lowlevel_ops ops{};
    ops.init = Init;
    ops.lookup = Lookup;
    ops.getattr = GetAttr;
    ops.open = Open;
    ops.read = Read;
    ops.opendir = OpenDir;
    ops.readdir = ReadDir;
    ops.statfs = StatFs;
    Server server{tree, source};
    server.cutEntries = HasCutEntries(tree, source);

    Session session(ops, server, options.source);
    if (!session.Ready()) {
        reporter.Say("cannot start a FUSE session");
        return ExitSomeFailed;
    }
    // libfuse has said why on standard error.
    if (!session.Mount(options.mountPoint)) {
        reporter.Say(fmt::format("cannot mount on {}", options.mountPoint.string()));
        return ExitSomeFailed;
    }
    WidenReadahead(options.mountPoint);
    // The parent leaves here once the child has taken over; the mount is
    // in place by then.
    if (!options.foreground && fuse->daemonize(0) != 0) {
        reporter.Say("cannot go into the background; unmounted");
        return ExitSomeFailed;
    }
    fuse_loop_config* config = fuse->loop_cfg_create();
    const int served = fuse->session_loop_mt(session.Get(), config);
    fuse->loop_cfg_destroy(config);
    // A signal that ended the loop (its number) is a way to stop, not a failure.
    return served >= 0 ? ExitSuccess : ExitSomeFailed;
}

}  // namespace qvr::cli
