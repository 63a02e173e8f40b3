#include "names/placement.h"

#include <fmt/format.h>

#include "names/path_key.h"
#include "names/safe_path.h"

namespace qvr::cli {
namespace {

// Paths as the file system compares them: Windows folds case.
#ifdef _WIN32
constexpr bool SystemFoldsCase = true;
#else
constexpr bool SystemFoldsCase = false;
#endif

// FNV-1a, a byte at a time, so that every folder's hash is a step on the
// way to the whole path's.
constexpr std::uint32_t HashStart = 2166136261u;
constexpr std::uint32_t HashStep(std::uint32_t hash, char c) {
    return (hash ^ static_cast<std::uint8_t>(c)) * 16777619u;
}

// Where a hash starts looking in a table of 2^bits slots: FNV's low bits
// differ little between names that differ in their last characters.
constexpr std::size_t SlotOf(std::uint32_t hash, std::size_t mask) {
    return static_cast<std::size_t>((hash * 0x9E3779B1u) >> 7) & mask;
}

constexpr std::size_t FirstSlots = 1024;

// At most three quarters full.
constexpr bool Crowded(std::size_t used, std::size_t slots) { return used * 4 > slots * 3; }

}  // namespace

Placer::Placer(const NameCodec& codec, std::size_t expectedNames) : codec_(codec) {
    // Room for each name's file and a new folder for every fourth name:
    // archives hold far fewer folders than files, so most never grow the
    // table, and one sized for more would only spread the probes over more
    // memory (each new page a fault, each probe further from the cache).
    const std::size_t paths = expectedNames + expectedNames / 4;
    std::size_t slots = FirstSlots;
    while (Crowded(paths, slots)) slots *= 2;
    slots_.resize(slots);
    records_.reserve(paths);
    keys_.reserve(expectedNames * 64);  // only what is used is ever touched
}

// The key (path_key.h) of the name whose components_ the rule gave,
// appended to keys_, folded where the system folds case; cuts_ and hashes_
// say where each component ends in it and the hash up to there. False when
// the file system cannot take a component.
bool Placer::KeyOf() {
    if (!NameCodec::TakesEveryComponent())
        for (const auto component : components_)
            if (!codec_.TakesComponent(component)) return false;
    const auto& lead = codec_.TextLead();
    const std::size_t start = keys_.size();
    cuts_.clear();
    hashes_.clear();
    std::uint32_t hash = HashStart;
    for (const auto component : components_) {
        if (keys_.size() > start) {
            keys_.push_back('\\');
            hash = HashStep(hash, '\\');
        }
        const std::size_t from = keys_.size();
        AppendComponentKey(keys_, component, lead, SystemFoldsCase);
        for (const char* c = keys_.data() + from; c != keys_.data() + keys_.size(); ++c) hash = HashStep(hash, *c);
        cuts_.push_back(static_cast<std::uint32_t>(keys_.size() - start));
        hashes_.push_back(hash);
    }
    return true;
}

// The placed path whose key is the first `length` bytes of the key being
// placed (at the end of keys_), or null.
const Placer::Record* Placer::Find(std::uint32_t hash, std::size_t length) const {
    const std::size_t mask = slots_.size() - 1;
    const auto indexBits = static_cast<std::uint32_t>(mask);
    const std::string_view key = std::string_view(keys_).substr(keys_.size() - cuts_.back(), length);
    for (std::size_t i = SlotOf(hash, mask);; i = (i + 1) & mask) {
        const Slot slot = slots_[i];
        if (slot == 0) return nullptr;
        if ((slot & ~indexBits) != (hash & ~indexBits)) continue;
        const Record& record = records_[(slot & indexBits) - 1];
        if (record.hash == hash && (record.length & ~FolderBit) == length &&
            std::string_view(keys_).substr(record.offset, length) == key)
            return &record;
    }
}

void Placer::Insert(std::uint32_t hash, std::size_t length, std::uint32_t entry, bool folder) {
    if (Crowded(records_.size() + 1, slots_.size())) Grow();
    const std::size_t mask = slots_.size() - 1;
    std::size_t i = SlotOf(hash, mask);
    while (slots_[i] != 0) i = (i + 1) & mask;
    records_.push_back(Record{hash, static_cast<std::uint32_t>(keys_.size() - cuts_.back()),
                              static_cast<std::uint32_t>(length) | (folder ? FolderBit : 0), entry});
    slots_[i] = (hash & ~static_cast<std::uint32_t>(mask)) | static_cast<std::uint32_t>(records_.size());
}

void Placer::Grow() {
    slots_.assign(slots_.size() * 2, Slot{0});
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t r = 0; r < records_.size(); ++r) {
        const std::uint32_t hash = records_[r].hash;
        std::size_t i = SlotOf(hash, mask);
        while (slots_[i] != 0) i = (i + 1) & mask;
        slots_[i] = (hash & ~static_cast<std::uint32_t>(mask)) | static_cast<std::uint32_t>(r + 1);
    }
}

// The first `folders` components of `name` joined by '/', as the person
// wrote them, for a message.
std::string Placer::FolderText(std::span<const std::uint8_t> name, std::size_t folders) const {
    std::string text;
    for (const auto component : PathComponents(name, codec_.TextLead())) {
        if (folders-- == 0) break;
        if (!text.empty()) text.push_back('/');
        text.append(component.begin(), component.end());
    }
    return text;
}

Place Placer::Add(std::uint32_t index, std::span<const std::uint8_t> name) {
    const std::size_t start = keys_.size();
    if (CheckEntryName(name, codec_.TextLead(), components_) != NameRefusal::None || !KeyOf()) {
        keys_.resize(start);
        return {Placing::Refused, 0, RefusalReason(name, codec_)};
    }
    // The key stays in keys_ only when something placed refers to it.
    auto drop = [&](Place place) {
        keys_.resize(start);
        return place;
    };
    const std::size_t length = cuts_.back();
    // For most names the whole path's slot is the one probe far from the
    // cache: it is fetched while the folders, whose slots are near, are
    // looked up first. The order changes no outcome: a placed path never
    // has a file among its folders.
    __builtin_prefetch(&slots_[SlotOf(hashes_.back(), slots_.size() - 1)]);
    // Every folder on the way must not be a file already placed. A folder
    // already known has only folders above it.
    std::size_t known = cuts_.size() - 1;  // folders [known, size - 1) are new
    std::uint32_t knownFolder = 0;
    while (known > 0) {
        const Record* folder = Find(hashes_[known - 1], cuts_[known - 1]);
        if (folder == nullptr) {
            --known;
            continue;
        }
        if (folder->length & FolderBit) {
            knownFolder = static_cast<std::uint32_t>(folder - records_.data());
            break;
        }
        return drop({Placing::Clash, folder->entry,
                     fmt::format("entry {} is a file where this name needs the folder '{}'", folder->entry,
                                 FolderText(name, known))});
    }
    if (const Record* same = Find(hashes_.back(), length)) {
        if (!(same->length & FolderBit)) return drop({Placing::Duplicate, same->entry, {}});
        return drop({Placing::Clash, same->entry, fmt::format("entry {} needs this path as a folder", same->entry)});
    }
    const auto firstNew = static_cast<std::uint32_t>(records_.size());
    for (std::size_t f = known; f + 1 < cuts_.size(); ++f) Insert(hashes_[f], cuts_[f], index, true);
    Insert(hashes_.back(), length, index, false);
    return {Placing::Placed, 0, {}, static_cast<std::uint32_t>(known), knownFolder, firstNew};
}

const PlacementWords PlacementWords::Extract{"refused: ", "; skipped", "; the first entry of each name was extracted"};
const PlacementWords PlacementWords::Test{"name would be refused on extraction: ", "; extraction would skip it",
                                          "; extraction keeps the first of each name"};
const PlacementWords PlacementWords::Mount{"refused: ", "", ""};

std::string PlacementReport::Problem(std::uint32_t index, const std::string& label, const Place& place) {
    switch (place.outcome) {
    case Placing::Placed:
        return {};
    case Placing::Refused:
        return std::string(words_.refused) + place.reason;
    case Placing::Clash:
        return place.reason + std::string(words_.clash);
    case Placing::Duplicate:
        if (words_.repeats.empty()) return fmt::format("repeats the name of entry {}, which is shown", place.earlier);
        if (repeats_++ == 0) firstRepeat_ = fmt::format("entry {} '{}' repeats entry {}", index, label, place.earlier);
        return {};
    }
    return {};
}

std::string PlacementReport::Repeats() const {
    if (repeats_ == 0) return {};
    return fmt::format("{} the name of an earlier entry ({}){}",
                       repeats_ == 1 ? "1 entry repeats" : fmt::format("{} entries repeat", repeats_), firstRepeat_,
                       words_.repeats);
}

}  // namespace qvr::cli
