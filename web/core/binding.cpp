// The page's way into archive/: a handful of C functions over one opened
// archive. The page does all reading (Blob.slice, asynchronous); this file
// says which bytes are needed, walks the directory and descrambles, so the
// format lives only in archive/.
//
// Opening takes the archive's first bytes as the page has read them. An
// opening that wants bytes the page has not read yet is run to the end on
// zeros and reported as a miss with the end of everything it asked for, so
// the page reads the rest and opens again; only an opening that missed
// nothing counts. Once the head has been read, that end is where the
// directory ends: the page may then hand over the rest in slices, and each
// opening short of it walks the entries held so far, so that the walk runs
// while the next slice is being read. The directory is viewed where the
// page put it, never copied.
#include <emscripten/emscripten.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "qvr/archive.h"
#include "qvr/entry_name.h"
#include "qvr/structure.h"

namespace {

// Bytes the page has read from the archive's start, within a file of known size.
class PrefixSource final : public qvr::ByteSource {
public:
    PrefixSource(std::span<const std::uint8_t> prefix, std::uint64_t fileSize) noexcept
        : prefix_(prefix), fileSize_(fileSize) {}

    std::size_t ReadAt(std::uint64_t offset, std::span<std::uint8_t> into) override {
        if (offset >= fileSize_) return 0;
        const std::size_t exists = static_cast<std::size_t>(std::min<std::uint64_t>(into.size(), fileSize_ - offset));
        const std::size_t held =
            offset >= prefix_.size() ? 0 : std::min<std::size_t>(exists, prefix_.size() - static_cast<std::size_t>(offset));
        if (held > 0) std::memcpy(into.data(), prefix_.data() + offset, held);
        if (held < exists) {
            // In the file but not yet read: pretend, and remember how far the opening reached.
            std::memset(into.data() + held, 0, exists - held);
            wantedEnd_ = std::max(wantedEnd_, offset + exists);
        }
        return exists;
    }

    std::optional<std::uint64_t> KnownSize() const noexcept override { return fileSize_; }
    std::uint64_t WantedEnd() const noexcept { return wantedEnd_; }

private:
    std::span<const std::uint8_t> prefix_;
    std::uint64_t fileSize_;
    std::uint64_t wantedEnd_ = 0;
};

// The archive's first bytes, in room the page writes them into. New room is
// left as it is rather than zeroed first (as a vector's would be), which
// cost as much as the page's own copy of the directory.
class PageBytes {
public:
    // Room for `size` bytes, those held kept, and for `capacity` in all;
    // false when memory is short.
    bool Resize(std::size_t size, std::size_t capacity) noexcept {
        capacity = std::max(size, capacity);
        if (capacity > capacity_) {
            std::unique_ptr<std::uint8_t[]> bigger(new (std::nothrow) std::uint8_t[capacity]);
            if (!bigger) return false;
            if (size_ > 0) std::memcpy(bigger.get(), bytes_.get(), std::min(size_, size));
            bytes_ = std::move(bigger);
            capacity_ = capacity;
        }
        size_ = size;
        return true;
    }
    std::uint8_t* data() noexcept { return bytes_.get(); }
    std::span<const std::uint8_t> View() const noexcept { return {bytes_.get(), size_}; }

private:
    std::unique_ptr<std::uint8_t[]> bytes_;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

// What the page learns from an opening. Values match the page's OpenResult.
enum OpenResult : std::int32_t {
    Opened = 0,
    NotAnArchive = 1,     // no magic, or a header cut short
    NoDirectory = 2,      // the first entry's data would lie inside the header
    OutOfMemory = 3,
    NeedsMoreBytes = 4,   // read up to WantedEnd() and open again
};

// One row per readable entry, as the page views it (32-bit words).
enum RowField : std::size_t { NameStart, NameLength, DataSize, DataOffset, Flags, RowWords };
enum RowFlag : std::uint32_t {
    DataCutShort = 1,  // some of the entry's data lie past the end of the file
    NameHasZero = 2,   // a zero byte inside the stored name
    DataInsideDirectory = 4,  // the data start inside the header or the directory entries
    DataOverlap = 8,          // the data overlap another entry's
};

// One structural finding as the page reads it (doubles: offsets pass 2^32).
enum FindingField : std::size_t { Fault, Index, Other, Begin, End, FindingWords };

// The first component of `name` (empty and "." ones dropped, cut by
// qvr::ComponentEnd, the rule extraction places files by), and whether
// another follows, found without building the whole list: a folder of
// 65535 entries is sorted on every look into it. `first.data()` is null
// when no component is left.
struct FirstComponent {
    std::span<const std::uint8_t> first;
    bool more = false;  // another component follows
};

FirstComponent NextComponents(std::span<const std::uint8_t> name, const qvr::LeadBytes& lead) noexcept {
    FirstComponent out;
    bool found = false;
    for (std::size_t start = 0;;) {
        // After the first component, whether another is dropped shows in its
        // first two bytes: the name is cut there rather than read to its end.
        const auto seen = found ? name.first(std::min(name.size(), start + 2)) : name;
        const std::size_t end = qvr::ComponentEnd(seen, start, lead);
        const auto part = name.subspan(start, end - start);
        if (!qvr::IsDroppedComponent(part)) {
            if (found) {
                out.more = true;
                return out;
            }
            out.first = part;
            found = true;
        }
        if (end == name.size()) return out;
        start = end + 1;
    }
}

// Folder names seen so far, by their bytes: open addressing over a
// power-of-two table, for the one lookup every entry of a folder makes.
class FolderTable {
public:
    // The number of the folder named `key`, or `fresh` after taking it as
    // that number; `keyOf(n)` gives folder n's name.
    template <typename KeyOf>
    std::uint32_t Find(std::span<const std::uint8_t> key, std::uint32_t fresh, KeyOf keyOf) {
        if ((fresh + 1) * 2 > slots_.size()) Grow(keyOf);
        const std::size_t mask = slots_.size() - 1;
        for (std::size_t at = Hash(key) & mask;; at = (at + 1) & mask) {
            const std::uint32_t n = slots_[at];
            if (n == 0) {
                slots_[at] = fresh + 1;
                return fresh;
            }
            const auto other = keyOf(n - 1);
            if (other.size() == key.size() && std::equal(key.begin(), key.end(), other.begin())) return n - 1;
        }
    }

private:
    static std::size_t Hash(std::span<const std::uint8_t> key) noexcept {
        std::uint32_t h = 2166136261u;  // FNV-1a
        for (const std::uint8_t b : key) h = (h ^ b) * 16777619u;
        return h;
    }
    template <typename KeyOf>
    void Grow(KeyOf keyOf) {
        std::vector<std::uint32_t> old(std::max<std::size_t>(64, slots_.size() * 2), 0);
        old.swap(slots_);
        const std::size_t mask = slots_.size() - 1;
        for (const std::uint32_t n : old) {
            if (n == 0) continue;
            std::size_t at = Hash(keyOf(n - 1)) & mask;
            while (slots_[at] != 0) at = (at + 1) & mask;
            slots_[at] = n;
        }
    }
    std::vector<std::uint32_t> slots_;
};

// Entries sorted into the files of a folder and its subfolders, by the next
// component of each name: the first pass of qvr_group, which the walk also
// makes for the top folder as it goes. Folder names are kept as where they
// lie in the joined names, which may move as they grow.
struct Grouping {
    struct Folder {
        std::uint32_t start, length, members = 0;
    };
    static constexpr std::uint32_t Here = UINT32_MAX;  // a file of this folder
    std::vector<Folder> folders;
    std::vector<std::uint32_t> entryOf, folderOf, restOf;  // for each entry placed, in order
    FolderTable table;
    std::uint32_t files = 0;

    void Reserve(std::size_t entries) {
        entryOf.reserve(entries);
        folderOf.reserve(entries);
        restOf.reserve(entries);
    }

    // Places `entry`, whose name (a view into `names`) goes on at byte `from`.
    void Add(std::uint32_t entry, std::span<const std::uint8_t> names, std::span<const std::uint8_t> name,
             std::size_t from, const qvr::LeadBytes& lead) {
        const auto next = NextComponents(name.subspan(std::min(from, name.size())), lead);
        entryOf.push_back(entry);
        if (!next.more) {
            ++files;
            folderOf.push_back(Here);
            restOf.push_back(0);
            return;
        }
        const auto fresh = static_cast<std::uint32_t>(folders.size());
        const std::uint32_t g = table.Find(next.first, fresh, [&](std::uint32_t at) {
            return names.subspan(folders[at].start, folders[at].length);
        });
        if (g == fresh)
            folders.push_back({static_cast<std::uint32_t>(next.first.data() - names.data()),
                               static_cast<std::uint32_t>(next.first.size())});
        ++folders[g].members;
        folderOf.push_back(g);
        restOf.push_back(static_cast<std::uint32_t>(next.first.data() + next.first.size() - name.data()));
    }

    // The second pass: qvr_group's answer, in 32-bit words.
    void Answer(std::vector<std::uint32_t>& out) const {
        const std::size_t placed = entryOf.size();
        out.assign(2 + files + folders.size() * 3 + 2 * (placed - files), 0);
        out[0] = files;
        std::size_t fileAt = 1;
        std::size_t at = 1 + files;
        out[at++] = static_cast<std::uint32_t>(folders.size());
        std::vector<std::size_t> memberAt(folders.size());
        for (std::size_t g = 0; g < folders.size(); ++g) {
            out[at] = folders[g].start, out[at + 1] = folders[g].length, out[at + 2] = folders[g].members;
            memberAt[g] = at + 3;
            at += 3 + 2 * std::size_t{folders[g].members};
        }
        for (std::size_t k = 0; k < placed; ++k) {
            if (folderOf[k] == Here) {
                out[fileAt++] = entryOf[k];
                continue;
            }
            const std::size_t m = memberAt[folderOf[k]]++;
            out[m] = entryOf[k];
            out[m + folders[folderOf[k]].members] = restOf[k];
        }
    }
};

// The page opens UTF-8 names with this code page (no lead bytes).
constexpr std::uint32_t Utf8CodePage = 65001;

struct Session {
    std::uint64_t fileSize = 0;
    PageBytes prefix;  // the archive's first bytes, as the page read them
    std::uint64_t wantedEnd = 0;
    std::uint64_t directoryEnd = 0;    // where the directory ends in the file, once the head is read
    qvr::OpenedArchive archive;
    std::vector<std::uint32_t> rows;
    std::vector<std::uint8_t> names;  // every name's bytes, each followed by a zero byte
    std::uint32_t readable = 0;
    std::size_t walked = 0;      // directory bytes the walk has passed
    std::uint32_t cutShort = 0;  // entries whose data run past the end of the file
    bool anyNameHasZero = false;
    bool allNamesUtf8 = true;
    // The top folder as UTF-8 names sort into it, made by the walk; dropped
    // at the first name that is not UTF-8, which the page reads otherwise.
    std::optional<Grouping> top = Grouping{};
    std::vector<std::uint32_t> grouped;  // the last qvr_group's answer
    std::vector<double> findings;        // qvr::FindStructureProblems, FindingWords each
    std::vector<std::uint8_t> refusals;  // the last qvr_name_refusals' answer
};

// The archive library's structural findings, kept for the page and marked on the rows.
void FindProblems(Session& s) {
    s.findings.clear();
    for (const auto& f : qvr::FindStructureProblems(s.archive, s.fileSize)) {
        s.findings.insert(s.findings.end(), {static_cast<double>(f.fault), static_cast<double>(f.index),
                                             static_cast<double>(f.other), static_cast<double>(f.begin),
                                             static_cast<double>(f.end)});
        const auto mark = [&](std::uint32_t index, std::uint32_t flag) {
            if (index < s.readable) s.rows[std::size_t{index} * RowWords + Flags] |= flag;
        };
        if (f.fault == qvr::StructureFault::DataInsideDirectory) mark(f.index, DataInsideDirectory);
        if (f.fault == qvr::StructureFault::DataOverlap) mark(f.index, DataOverlap), mark(f.other, DataOverlap);
    }
}

// True when `text` is well-formed UTF-8 (no overlong forms, surrogates or
// code points past U+10FFFF), as a strict TextDecoder would find it.
bool IsUtf8(std::span<const std::uint8_t> text) noexcept {
    for (std::size_t i = 0; i < text.size();) {
        if (i + 8 <= text.size()) {
            // Most names are ASCII: eight such bytes are passed at once.
            std::uint64_t word;
            std::memcpy(&word, text.data() + i, 8);
            if ((word & 0x8080808080808080u) == 0) {
                i += 8;
                continue;
            }
        }
        const std::uint8_t b = text[i];
        if (b < 0x80) {
            ++i;
            continue;
        }
        std::size_t n;
        std::uint8_t low = 0x80, high = 0xBF;  // the second byte's range
        if (b >= 0xC2 && b <= 0xDF) n = 1;
        else if (b >= 0xE0 && b <= 0xEF) n = 2, low = b == 0xE0 ? 0xA0 : 0x80, high = b == 0xED ? 0x9F : 0xBF;
        else if (b >= 0xF0 && b <= 0xF4) n = 3, low = b == 0xF0 ? 0x90 : 0x80, high = b == 0xF4 ? 0x8F : 0xBF;
        else return false;
        if (text.size() - i <= n || text[i + 1] < low || text[i + 1] > high) return false;
        for (std::size_t k = 2; k <= n; ++k)
            if (text[i + k] < 0x80 || text[i + k] > 0xBF) return false;
        i += n + 1;
    }
    return true;
}

// Walks on from where the last walk stopped, over the entries the directory
// holds whole: each entry's name bytes are copied once, into the joined
// names, and descrambled there. A directory still being read stops the walk
// at the entry its bytes cut; the next opening goes on from that entry.
void Walk(Session& s) {
    const std::uint32_t count = s.archive.header.entryCount;
    s.rows.reserve(std::size_t{count} * RowWords);
    s.names.reserve(static_cast<std::size_t>(std::max<std::uint64_t>(s.directoryEnd, s.archive.directory.size())));
    if (s.top) s.top->Reserve(count);
    const auto utf8 = qvr::LeadBytes::ForCodePage(Utf8CodePage);
    qvr::DirectoryCursor cursor{s.archive.directory, s.walked, s.readable};
    while (s.readable < count) {
        const auto stored = qvr::PeekEntry(cursor);
        if (!stored) break;
        const std::size_t start = s.names.size();
        s.names.insert(s.names.end(), stored->scrambledName.begin(), stored->scrambledName.end());
        const auto name = std::span(s.names).subspan(start);
        qvr::DescrambleName(name);
        s.names.push_back(0);
        const bool hasZero = std::find(name.begin(), name.end(), std::uint8_t{0}) != name.end();
        const bool cut = std::uint64_t{stored->dataOffset} + stored->dataSize > s.fileSize;
        s.rows.insert(s.rows.end(), {static_cast<std::uint32_t>(start), stored->nameLength, stored->dataSize,
                                     stored->dataOffset, (cut ? DataCutShort : 0u) | (hasZero ? NameHasZero : 0u)});
        s.anyNameHasZero = s.anyNameHasZero || hasZero;
        s.allNamesUtf8 = s.allNamesUtf8 && IsUtf8(name);
        if (!s.allNamesUtf8) s.top.reset();
        if (s.top) s.top->Add(s.readable, s.names, name, 0, utf8);
        s.cutShort += cut ? 1 : 0;
        ++s.readable;
        qvr::SkipEntry(cursor);
    }
    s.walked = cursor.offset;
}

}  // namespace

extern "C" {

// A session for a file of `fileSize` bytes; null when memory is short.
EMSCRIPTEN_KEEPALIVE Session* qvr_session(double fileSize) {
    auto* s = new (std::nothrow) Session;
    if (s) s->fileSize = static_cast<std::uint64_t>(fileSize);
    return s;
}

// Room for the first `size` bytes of the archive, which the page fills;
// bytes already there stay. Null when memory is short. Valid until the next
// call. Room is made at once for the whole directory, once its end is known,
// so that its slices are not moved as they come.
EMSCRIPTEN_KEEPALIVE std::uint8_t* qvr_prefix(Session* s, std::size_t size) {
    if (!s->prefix.Resize(size, static_cast<std::size_t>(s->directoryEnd))) return nullptr;
    return s->prefix.data();
}

// Opens the archive from the bytes in qvr_prefix and walks its directory;
// the entries exist only after Opened. The directory is viewed where the
// page put it unless the view might stop where those bytes stop and the
// directory's end is not known yet: then the opening runs on a source that
// tells how far it needs to read, and that is the directory's end once the
// head was among the bytes. Short of that end, the entries held are walked
// and the page is asked for the rest.
EMSCRIPTEN_KEEPALIVE std::int32_t qvr_open(Session* s) {
    const std::span<const std::uint8_t> prefix = s->prefix.View();
    const bool whole = prefix.size() >= s->fileSize;
    qvr::OpenedArchive opened;
    auto status = qvr::OpenArchiveView(prefix, 0, opened);
    const bool maybeCut = !whole && s->directoryEnd == 0 &&
                          (prefix.size() < qvr::HeadBlockSize ||
                           (status == qvr::OpenStatus::Success &&
                            opened.directory.data() + opened.directory.size() == prefix.data() + prefix.size()));
    if (maybeCut) {
        qvr::OpenedArchive fromSource;
        PrefixSource source(prefix, s->fileSize);
        const auto sourceStatus = qvr::OpenArchiveFile(source, 0, fromSource);
        if (source.WantedEnd() == 0) {
            status = sourceStatus;
            opened = std::move(fromSource);
        } else if (prefix.size() < qvr::HeadBlockSize) {
            // The head itself is not all here: what it says is not known yet.
            s->wantedEnd = source.WantedEnd();
            return NeedsMoreBytes;
        } else {
            // A real head: the view says what the opening says, and the end is final.
            s->directoryEnd = source.WantedEnd();
        }
    }
    const bool held = whole || prefix.size() >= s->directoryEnd;
    s->wantedEnd = held ? 0 : s->directoryEnd;
    switch (status) {
        case qvr::OpenStatus::Success: break;
        case qvr::OpenStatus::UnrecognisedFormat: return NotAnArchive;
        case qvr::OpenStatus::DamagedDirectory: return NoDirectory;
        case qvr::OpenStatus::OutOfMemory: return OutOfMemory;
    }
    s->archive = std::move(opened);
    try {
        Walk(*s);
        if (!held) return NeedsMoreBytes;
        FindProblems(*s);
    } catch (const std::bad_alloc&) {
        return OutOfMemory;
    }
    return Opened;
}

EMSCRIPTEN_KEEPALIVE void qvr_close(Session* s) { delete s; }

EMSCRIPTEN_KEEPALIVE double qvr_wanted_end(const Session* s) { return static_cast<double>(s->wantedEnd); }
EMSCRIPTEN_KEEPALIVE std::uint32_t qvr_entry_count(const Session* s) { return s->archive.header.entryCount; }
EMSCRIPTEN_KEEPALIVE std::uint32_t qvr_readable(const Session* s) { return s->readable; }
EMSCRIPTEN_KEEPALIVE const std::uint32_t* qvr_rows(const Session* s) { return s->rows.data(); }
EMSCRIPTEN_KEEPALIVE std::uint32_t qvr_row_words() { return RowWords; }
EMSCRIPTEN_KEEPALIVE const std::uint8_t* qvr_names(const Session* s) { return s->names.data(); }
EMSCRIPTEN_KEEPALIVE std::size_t qvr_names_size(const Session* s) { return s->names.size(); }
EMSCRIPTEN_KEEPALIVE std::uint32_t qvr_cut_short(const Session* s) { return s->cutShort; }
EMSCRIPTEN_KEEPALIVE bool qvr_all_names_utf8(const Session* s) { return s->allNamesUtf8; }
EMSCRIPTEN_KEEPALIVE bool qvr_any_name_has_zero(const Session* s) { return s->anyNameHasZero; }
// The directory's extent as read: what the walk could see.
EMSCRIPTEN_KEEPALIVE double qvr_directory_size(const Session* s) { return static_cast<double>(s->archive.directory.size()); }

EMSCRIPTEN_KEEPALIVE const double* qvr_findings(const Session* s) { return s->findings.data(); }
EMSCRIPTEN_KEEPALIVE std::uint32_t qvr_finding_count(const Session* s) {
    return static_cast<std::uint32_t>(s->findings.size() / FindingWords);
}

// Why the archive library's name rule refuses each readable entry's stored
// name as a file below a folder (a qvr::NameRefusal, 0 for none), with the
// characters of `codePage` (932: Shift_JIS); the rule qvr extract writes by.
EMSCRIPTEN_KEEPALIVE const std::uint8_t* qvr_name_refusals(Session* s, std::uint32_t codePage) {
    const auto lead = qvr::LeadBytes::ForCodePage(codePage);
    try {
        s->refusals.resize(s->readable);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    for (std::uint32_t i = 0; i < s->readable; ++i) {
        const std::uint32_t* row = &s->rows[std::size_t{i} * RowWords];
        const auto name = std::span<const std::uint8_t>(s->names).subspan(row[NameStart], row[NameLength]);
        s->refusals[i] = static_cast<std::uint8_t>(qvr::CheckEntryName(name, lead));
    }
    return s->refusals.data();
}

// A refusal in the words qvr test and extract use for it.
EMSCRIPTEN_KEEPALIVE const char* qvr_describe_refusal(std::uint32_t refusal) {
    static std::string words;
    words = qvr::Describe(static_cast<qvr::NameRefusal>(refusal));
    return words.c_str();
}

// Sorts entries into the files of a folder and its subfolders, by the next
// component of each name after byte `from[k]`, cut as extraction cuts names
// (qvr::PathComponents: a separator only where a character of the code
// page starts; empty and "." components dropped); null `entries` stand for
// every readable entry from its first byte. A name with one
// component left is a file here. The answer, in 32-bit words: the number of
// files and their indexes; the number of folders and, for each, where its
// name lies in the joined names, its length, the number of its entries,
// their indexes and where the rest of each name begins.
EMSCRIPTEN_KEEPALIVE const std::uint32_t* qvr_group(Session* s, std::uint32_t codePage, const std::uint32_t* entries,
                                                    const std::uint32_t* from, std::uint32_t count) {
    // The top folder in UTF-8 names, as the walk sorted it.
    if (!entries && codePage == Utf8CodePage && s->top) {
        s->top->Answer(s->grouped);
        return s->grouped.data();
    }
    const auto lead = qvr::LeadBytes::ForCodePage(codePage);
    if (!entries) count = s->readable;
    Grouping grouping;
    grouping.Reserve(count);
    const std::span<const std::uint8_t> names(s->names);
    for (std::uint32_t k = 0; k < count; ++k) {
        const std::uint32_t i = entries ? entries[k] : k;
        if (i >= s->readable) continue;
        const std::uint32_t* row = &s->rows[std::size_t{i} * RowWords];
        grouping.Add(i, names, names.subspan(row[NameStart], row[NameLength]), entries ? from[k] : 0, lead);
    }
    grouping.Answer(s->grouped);
    return s->grouped.data();
}
EMSCRIPTEN_KEEPALIVE std::uint32_t qvr_grouped_size(const Session* s) { return static_cast<std::uint32_t>(s->grouped.size()); }

// Where entry `index`'s data are, as far as the file holds them: out[0] the
// offset, out[1] the bytes that exist, out[2] how many of those are
// scrambled (they go through qvr_descramble; the rest are stored as they are).
EMSCRIPTEN_KEEPALIVE bool qvr_entry_extent(const Session* s, std::uint32_t index, double* out) {
    if (index >= s->readable) return false;
    const std::uint32_t* row = &s->rows[std::size_t{index} * RowWords];
    const std::uint64_t offset = row[DataOffset];
    const std::uint64_t present = offset >= s->fileSize ? 0 : std::min<std::uint64_t>(row[DataSize], s->fileSize - offset);
    out[0] = static_cast<double>(offset);
    out[1] = static_cast<double>(present);
    out[2] = static_cast<double>(std::min<std::uint64_t>(present, qvr::ScrambledContentSize));
    return true;
}

// Descrambles an entry's leading bytes in place (they start at the entry's first byte).
EMSCRIPTEN_KEEPALIVE void qvr_descramble(std::uint8_t* bytes, std::size_t size) {
    qvr::DescrambleContent({bytes, size});
}

}  // extern "C"
