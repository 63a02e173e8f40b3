// Where each entry of an archive lands on extraction, decided in directory
// order. qvr extract writes by it, qvr test judges by it and qvr mount shows
// it, so that test fails exactly where an extraction into an empty folder
// would and a mount shows exactly what extraction writes.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "names/codec.h"

namespace qvr::cli {

enum class Placing {
    Placed,     // written to the path SafeRelativePath gives for the name
    Refused,    // the name rule refuses it: `reason`
    Duplicate,  // entry `earlier` has the same path; the first of each path wins
    Clash,      // entry `earlier` needs this path as a file where this one needs a folder, or the reverse: `reason`
};

struct Place {
    Placing outcome = Placing::Placed;
    std::uint32_t earlier = 0;
    std::string reason;  // only for Refused and Clash
    // Placed: the path's first `knownFolders` folders were placed before,
    // the innermost of them as record `knownFolder`; its other folders, then
    // the file itself, became the records from `firstNew` on, in order. A
    // record is a path's number, from 0, in the order paths were placed: a
    // caller building a tree keeps a node for each without hashing again.
    std::uint32_t knownFolders = 0;
    std::uint32_t knownFolder = 0;
    std::uint32_t firstNew = 0;
};

// Every path placed so far, files and the folders they need, each once. The
// paths are keys into one buffer of bytes and one open-addressing table, so
// that placing a name allocates nothing but, now and then, more room: a
// mount places 65535 names before it shows any.
class Placer {
public:
    // Names are the text `codec` gives (NameCodec::ToUtf8). `expectedNames`:
    // how many names will come, to size the table once.
    explicit Placer(const NameCodec& codec = NameCodec::PassThrough(), std::size_t expectedNames = 0);
    // `name` is what the tool writes by: UTF-8 text, or the stored bytes
    // where no encoding converts them.
    Place Add(std::uint32_t index, std::span<const std::uint8_t> name);
    // The components of the name placed last, as the name rule cut them:
    // views into that name, valid until the next Add.
    std::span<const std::span<const std::uint8_t>> Components() const noexcept { return components_; }

private:
    // A slot is four bytes, so that the table for 65535 names (half a
    // megabyte) stays near the cache: in its low bits the record's index + 1
    // (0: the slot is free), in the bits above them the same bits of the
    // path's hash. Every record has one slot, so the index fits in as many
    // bits as the table's size takes, and a probe that misses (every new
    // file's) reads no record unless those high bits agree.
    using Slot = std::uint32_t;
    struct Record {
        std::uint32_t hash = 0;    // the whole hash, for the table to grow
        std::uint32_t offset = 0;  // of the key in keys_
        std::uint32_t length = 0;  // of the key, with FolderBit
        std::uint32_t entry = 0;   // the file, or the first entry inside the folder
    };
    static constexpr std::uint32_t FolderBit = 0x80000000u;
    bool KeyOf();
    const Record* Find(std::uint32_t hash, std::size_t length) const;
    void Insert(std::uint32_t hash, std::size_t length, std::uint32_t entry, bool folder);
    void Grow();
    std::string FolderText(std::span<const std::uint8_t> name, std::size_t folders) const;

    const NameCodec& codec_;
    std::string keys_;                  // every placed path's key, one after another
    std::vector<Slot> slots_;           // a power of two of them
    std::vector<Record> records_;       // in the order they were placed
    std::vector<std::span<const std::uint8_t>> components_;  // the name being placed, as the rule cut it
    std::vector<std::uint32_t> cuts_;   // ... where each component ends in its key
    std::vector<std::uint32_t> hashes_; // ... and the key's hash up to there; the last is the whole key's
};

// How a command words what placement found. Each command keeps its own
// words; all of them live here.
struct PlacementWords {
    std::string_view refused;  // before the rule's reason
    std::string_view clash;    // after the clash's reason
    // After the count of repeated names, told once at the end; empty: each
    // repeat is told with its entry instead.
    std::string_view repeats;

    static const PlacementWords Extract;  // what was done
    static const PlacementWords Test;     // what extraction would do
    static const PlacementWords Mount;    // what the mount leaves out
};

// The problems placement finds in one walk, in a command's words.
class PlacementReport {
public:
    explicit PlacementReport(const PlacementWords& words) : words_(words) {}
    // The problem with entry `index`, named `label` in messages, placed as
    // `place`; empty when it is placed, or repeats and repeats are told once.
    std::string Problem(std::uint32_t index, const std::string& label, const Place& place);
    // "2 entries repeat the name of an earlier entry (...); ...", or empty.
    std::string Repeats() const;

private:
    const PlacementWords& words_;
    std::uint64_t repeats_ = 0;
    std::string firstRepeat_;
};

}  // namespace qvr::cli
