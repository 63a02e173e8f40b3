#include "mount/tree.h"

#include <algorithm>

#include <fmt/format.h>

#include "commands/report.h"
#include "names/names.h"
#include "names/placement.h"

namespace qvr::cli {

MountTree::MountTree() { nodes_.push_back(MountNode{.parent = Root, .folder = true}); }

std::string_view MountTree::Name(NodeId id) const {
    const auto& node = nodes_[id];
    return std::string_view(names_).substr(node.nameOffset, node.nameLength);
}

std::span<const NodeId> MountTree::Children(NodeId folder) const {
    const auto& node = nodes_[folder];
    return std::span(children_).subspan(node.firstChild, node.childCount);
}

std::optional<NodeId> MountTree::Find(NodeId folder, std::string_view name) const {
    const auto children = Children(folder);
    const auto it = std::lower_bound(children.begin(), children.end(), name,
                                     [this](NodeId child, std::string_view n) { return Name(child) < n; });
    if (it == children.end() || Name(*it) != name) return std::nullopt;
    return *it;
}

// Adds placed entries one by one, making their folders on the way, and
// sorts every folder's children once all are in.
class MountTreeBuilder {
public:
    // Room for every entry and its name at once: growing the tables entry
    // by entry would copy them over and over. Folders are few next to files;
    // room for one per four entries mostly spares the node table a copy.
    // `nameRoom`: bytes the names can take at most (the room is only
    // reserved: what no name fills costs no memory).
    MountTreeBuilder(MountTree& tree, std::size_t entries, std::size_t nameRoom) : tree_(tree) {
        tree_.nodes_.reserve(entries + entries / 4 + 1);
        tree_.names_.reserve(nameRoom);
        folderOfRecord_.reserve(entries + entries / 4 + 1);
    }

    // An entry just placed: `parts` are its folders and file name, as
    // placement cut them. Placement has numbered every path it placed, so
    // the folder a file goes in is found by that number, not by its name.
    void AddPlaced(std::span<const std::span<const std::uint8_t>> parts, const Place& place, const Entry& entry) {
        NodeId folder = place.knownFolders == 0 ? MountTree::Root : folderOfRecord_[place.knownFolder];
        std::uint32_t record = place.firstNew;
        for (std::size_t f = place.knownFolders; f + 1 < parts.size(); ++f, ++record) {
            folder = AddNode(folder, parts[f], true);
            if (folderOfRecord_.size() <= record) folderOfRecord_.resize(record + 1);
            folderOfRecord_[record] = folder;
        }
        const NodeId id = AddNode(folder, parts.back(), false);
        auto& node = tree_.nodes_[id];
        node.entryIndex = entry.index;
        node.dataOffset = entry.dataOffset;
        node.dataSize = entry.dataSize;
        tree_.fileBytes_ += entry.dataSize;
    }

    // Children are grouped by folder in one counting pass, then each
    // folder's are sorted by name (archives mostly list them sorted already).
    void Finish() {
        auto& nodes = tree_.nodes_;
        auto& children = tree_.children_;
        for (NodeId id = 1; id < nodes.size(); ++id) ++nodes[nodes[id].parent].childCount;
        std::uint32_t at = 0;
        for (auto& node : nodes) {
            node.firstChild = at;
            at += node.childCount;
            node.childCount = 0;
        }
        children.resize(nodes.size() - 1);
        for (NodeId id = 1; id < nodes.size(); ++id) {
            auto& parent = nodes[nodes[id].parent];
            children[parent.firstChild + parent.childCount++] = id;
            if (nodes[id].folder) ++parent.subfolders;
        }
        const auto byName = [this](NodeId a, NodeId b) { return tree_.Name(a) < tree_.Name(b); };
        for (const auto& node : nodes) {
            const auto folder = std::span(children).subspan(node.firstChild, node.childCount);
            if (!std::is_sorted(folder.begin(), folder.end(), byName)) std::sort(folder.begin(), folder.end(), byName);
        }
        // The tables keep the room reserved for them: room never written
        // costs addresses, not memory, and copying them into tighter ones
        // would touch every page once more.
    }

private:
    NodeId AddNode(NodeId parent, std::span<const std::uint8_t> name, bool folder) {
        const auto id = static_cast<NodeId>(tree_.nodes_.size());
        tree_.nodes_.push_back(MountNode{.parent = parent,
                                         .nameOffset = static_cast<std::uint32_t>(tree_.names_.size()),
                                         .nameLength = static_cast<std::uint32_t>(name.size()),
                                         .folder = folder});
        tree_.names_.append(name.begin(), name.end());
        tree_.names_.push_back('\0');
        return id;
    }

    MountTree& tree_;
    std::vector<NodeId> folderOfRecord_;  // by placement's record number; only folders' are set
};

BuiltTree BuildMountTree(WindowWalk& walk, std::uint32_t count, const NameCodec& codec) {
    BuiltTree built;
    // A name's components, with a zero after each, take no more than its
    // entry did in the directory (unless an encoding lengthens them: the
    // names then grow past the room, which is only slower).
    MountTreeBuilder builder(built.tree, count, static_cast<std::size_t>(walk.DirectoryExtent()));
    Placer placer(codec, count);
    PlacementReport placement(PlacementWords::Mount);
    Entry entry;
    NameText names(codec);
    for (; built.walked < count && walk.Next(entry); ++built.walked) {
        auto leaveOut = [&](std::string reason) {
            built.leftOut.push_back({entry.index, NameForMessage(entry.NameBytes(), codec), std::move(reason)});
        };
        // The name as extraction writes it: converted under an encoding, the
        // stored bytes otherwise.
        const auto text = names.Of(entry.NameBytes());
        if (!names.Valid()) {
            leaveOut(fmt::format("name is not valid {}", codec.Name()));
            continue;
        }
        const auto place = placer.Add(entry.index, text);
        if (place.outcome == Placing::Placed) builder.AddPlaced(placer.Components(), place, entry);
        else leaveOut(placement.Problem(entry.index, {}, place));
    }
    builder.Finish();
    return built;
}

}  // namespace qvr::cli
