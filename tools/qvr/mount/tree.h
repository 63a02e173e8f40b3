// The folder tree a mounted archive shows: every entry that extraction would
// write, at the path extraction would write it to, and nothing else. Built
// once at mount time from one walk of the directory; afterwards it is only
// read (from many threads at once), so it needs no lock.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "names/codec.h"
#include "qvr/open.h"
#include "qvr/window_walk.h"

namespace qvr::cli {

using NodeId = std::uint32_t;

struct MountNode {
    NodeId parent = 0;          // the root is its own parent
    std::uint32_t nameOffset = 0;  // into MountTree's name bytes
    std::uint32_t nameLength = 0;
    bool folder = false;
    // Folders: their children, sorted by name, in MountTree's child list.
    std::uint32_t firstChild = 0;
    std::uint32_t childCount = 0;
    std::uint32_t subfolders = 0;  // for the link count
    // Files: the entry shown here, and where its data lie in the archive.
    std::uint32_t entryIndex = 0;
    std::uint32_t dataOffset = 0;
    std::uint32_t dataSize = 0;
};

class MountTree {
public:
    static constexpr NodeId Root = 0;

    MountTree();

    std::size_t Size() const noexcept { return nodes_.size(); }
    bool Contains(NodeId id) const noexcept { return id < nodes_.size(); }
    const MountNode& Node(NodeId id) const { return nodes_[id]; }
    // Followed by a zero byte (names never hold one), for C interfaces.
    std::string_view Name(NodeId id) const;
    std::span<const NodeId> Children(NodeId folder) const;
    // The child of `folder` called `name`, by binary search.
    std::optional<NodeId> Find(NodeId folder, std::string_view name) const;
    std::uint64_t FileBytes() const noexcept { return fileBytes_; }

private:
    friend class MountTreeBuilder;
    std::vector<MountNode> nodes_;
    std::string names_;
    std::vector<NodeId> children_;
    std::uint64_t fileBytes_ = 0;
};

// An entry the tree does not show, and why, for a message at mount time.
struct LeftOut {
    std::uint32_t index = 0;
    std::string name;    // for messages: decoded, control bytes escaped
    std::string reason;  // "refused: ...", "repeats entry 3", ...
};

struct BuiltTree {
    MountTree tree;
    std::vector<LeftOut> leftOut;
    // Entries the walk read; fewer than the header's count when the
    // directory ends inside an entry (a damaged archive).
    std::uint32_t walked = 0;
};

// Places every entry `walk` gives, up to `count` (the header's), as
// extraction does (placement.h, under `codec`): the first entry of a path
// wins, and names the rule refuses are left out. The directory is read
// through the walk's window, never held whole.
BuiltTree BuildMountTree(WindowWalk& walk, std::uint32_t count, const NameCodec& codec);

}  // namespace qvr::cli
