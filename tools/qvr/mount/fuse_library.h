// libfuse3, loaded when a mount starts rather than with the program. Every
// other command is started once a file by scripts, and mapping and binding
// a library only `mount` uses cost each of those starts about half a
// millisecond here. Linux only.
#pragma once

#define FUSE_USE_VERSION 312
#include <fuse_lowlevel.h>

#include <string>

namespace qvr::cli {

// Each function the server calls but the loop, whose 3.12 form has a
// versioned name (see session_loop_mt below).
#define QVR_FUSE_FUNCTIONS(X)                             \
    X(req_userdata, fuse_req_userdata)                    \
    X(reply_err, fuse_reply_err)                          \
    X(reply_entry, fuse_reply_entry)                      \
    X(reply_attr, fuse_reply_attr)                        \
    X(reply_open, fuse_reply_open)                        \
    X(reply_buf, fuse_reply_buf)                          \
    X(reply_data, fuse_reply_data)                        \
    X(reply_statfs, fuse_reply_statfs)                    \
    X(add_direntry, fuse_add_direntry)                    \
    X(opt_add_arg, fuse_opt_add_arg)                      \
    X(opt_free_args, fuse_opt_free_args)                  \
    X(session_new, fuse_session_new)                      \
    X(session_mount, fuse_session_mount)                  \
    X(session_unmount, fuse_session_unmount)              \
    X(session_destroy, fuse_session_destroy)              \
    X(set_signal_handlers, fuse_set_signal_handlers)      \
    X(remove_signal_handlers, fuse_remove_signal_handlers) \
    X(daemonize, fuse_daemonize)                          \
    X(loop_cfg_create, fuse_loop_cfg_create)              \
    X(loop_cfg_destroy, fuse_loop_cfg_destroy)

struct FuseLibrary {
#define QVR_FUSE_MEMBER(member, symbol) decltype(&::symbol) member = nullptr;
    QVR_FUSE_FUNCTIONS(QVR_FUSE_MEMBER)
#undef QVR_FUSE_MEMBER
    // fuse_session_loop_mt as of 3.12, taking a loop configuration.
    int (*session_loop_mt)(fuse_session*, fuse_loop_config*) = nullptr;
};

// The library with every function above, loaded on the first call and kept
// for the life of the process; nullptr, with `error` saying why for a
// person (the library missing, or too old to have a function), when it
// cannot be had.
const FuseLibrary* LoadFuseLibrary(std::string& error);

}  // namespace qvr::cli
