// How the fuzz targets read their input bytes, in one place: the harnesses
// decode with these functions and the seed generator encodes with their
// counterparts, so a seed means to a target what the generator meant.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "qvr/format.h"
#include "qvr/writer.h"

namespace qvr::fuzz {

using Bytes = std::vector<std::uint8_t>;

// Takes up to n bytes off the front of `in`.
inline std::span<const std::uint8_t> Take(std::span<const std::uint8_t>& in, std::size_t n) noexcept {
    const auto taken = in.first(std::min(n, in.size()));
    in = in.subspan(taken.size());
    return taken;
}

// Little-endian number of `width` bytes; missing bytes count as zero.
inline std::uint64_t TakeNumber(std::span<const std::uint8_t>& in, std::size_t width) noexcept {
    std::uint64_t v = 0;
    const auto b = Take(in, width);
    for (std::size_t i = 0; i < b.size(); ++i) v |= std::uint64_t{b[i]} << (8 * i);
    return v;
}

inline void PutNumber(Bytes& out, std::uint64_t v, std::size_t width) {
    for (std::size_t i = 0; i < width; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

// Short-read input: [junk length][cut count][index, 2 bytes][cuts...][file...].
// The archive begins `junk length` bytes into the file; `index` is the entry
// that is also read on its own; read number i (of each opening) delivers
// cuts[i]/255 of what it may (255: all of it); reads after the last cut are
// whole, unless bit 7 of the cut count says that the first of them fails
// for want of memory. Bit 6 stretches the file: what follows the header is
// repeated until the file passes StretchedSize bytes, so that directories
// larger than one read piece are reached from small inputs.
struct ShortReadInput {
    std::uint64_t archiveOffset = 0;
    std::span<const std::uint8_t> cuts;
    bool outOfMemoryAfterCuts = false;
    bool stretch = false;
    std::uint32_t index = 0;
    std::span<const std::uint8_t> file;
};

inline constexpr std::uint8_t OutOfMemoryAfterCuts = 0x80;
inline constexpr std::uint8_t Stretch = 0x40;
inline constexpr std::size_t StretchedSize = 80 * 1024;

inline ShortReadInput DecodeShortReads(std::span<const std::uint8_t> in) noexcept {
    ShortReadInput out;
    out.archiveOffset = TakeNumber(in, 1);
    const auto count = static_cast<std::uint8_t>(TakeNumber(in, 1));
    out.outOfMemoryAfterCuts = (count & OutOfMemoryAfterCuts) != 0;
    out.stretch = (count & Stretch) != 0;
    out.index = static_cast<std::uint32_t>(TakeNumber(in, 2));
    out.cuts = Take(in, count % 16u);
    out.file = in;
    return out;
}

// The file a stretched input stands for.
inline Bytes Stretched(std::span<const std::uint8_t> file, std::uint64_t archiveOffset) {
    const std::size_t head = static_cast<std::size_t>(std::min<std::uint64_t>(archiveOffset + HeaderSize, file.size()));
    Bytes out(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(head));
    const auto body = file.subspan(head);
    while (!body.empty() && out.size() < StretchedSize) out.insert(out.end(), body.begin(), body.end());
    return out;
}

inline Bytes EncodeShortReads(std::uint8_t archiveOffset, const Bytes& cuts, const Bytes& file,
                              bool outOfMemoryAfterCuts = false, std::uint16_t index = 0, bool stretch = false) {
    Bytes out{archiveOffset,
              static_cast<std::uint8_t>(cuts.size() | (outOfMemoryAfterCuts ? OutOfMemoryAfterCuts : 0) |
                                        (stretch ? Stretch : 0))};
    PutNumber(out, index, 2);
    out.insert(out.end(), cuts.begin(), cuts.end());
    out.insert(out.end(), file.begin(), file.end());
    return out;
}

// Round-trip input, first byte the mode.
// Mode even, "write": entries of [name length][name][content length, 2 bytes][content]
// until the input ends; written whole and read back. A name length byte of
// 255 takes one more byte, e: the name is 255 + e % 46 bytes long, so that
// names the writer must refuse (256 to 300 bytes) are tried too.
// Mode odd, "plan": [count code] then records of [name length, 2 bytes]
// [data size, 5 bytes], repeated cyclically up to the count; laid out only,
// so sizes past what the format holds cost nothing. Count codes below 255
// are the count; 255 is one entry more than an archive holds (the most it
// holds is left to the ordinary tests: walking 65535 entries at every try
// would slow the search down a hundredfold).
inline std::vector<WriterEntry> DecodeWriteEntries(std::span<const std::uint8_t> in) {
    std::vector<WriterEntry> entries;
    while (!in.empty()) {
        WriterEntry e;
        std::size_t nameLength = static_cast<std::size_t>(TakeNumber(in, 1));
        if (nameLength == 255) nameLength += static_cast<std::size_t>(TakeNumber(in, 1) % 46);
        const auto name = Take(in, nameLength);
        const auto content = Take(in, static_cast<std::size_t>(TakeNumber(in, 2)));
        e.name.assign(name.begin(), name.end());
        e.content.assign(content.begin(), content.end());
        entries.push_back(std::move(e));
    }
    return entries;
}

inline Bytes EncodeWriteEntries(const std::vector<WriterEntry>& entries) {
    Bytes out{0};
    for (const auto& e : entries) {
        PutNumber(out, std::min<std::size_t>(e.name.size(), 255), 1);
        if (e.name.size() >= 255) PutNumber(out, e.name.size() - 255, 1);
        out.insert(out.end(), e.name.begin(), e.name.end());
        PutNumber(out, e.content.size(), 2);
        out.insert(out.end(), e.content.begin(), e.content.end());
    }
    return out;
}

struct PlanRecord {
    std::size_t nameLength = 0;
    std::uint64_t size = 0;
};

struct PlanInput {
    std::size_t count = 0;
    std::vector<PlanRecord> records;
};

inline constexpr std::uint8_t PlanTooManyEntries = 255;
inline constexpr std::size_t PlanNameLimit = 300;

inline std::size_t PlanCount(std::uint8_t code) noexcept {
    return code == PlanTooManyEntries ? MaxEntryCount + 1 : code;
}

inline PlanInput DecodePlan(std::span<const std::uint8_t> in) {
    PlanInput out;
    out.count = PlanCount(static_cast<std::uint8_t>(TakeNumber(in, 1)));
    while (!in.empty()) {
        PlanRecord r;
        r.nameLength = static_cast<std::size_t>(TakeNumber(in, 2) % (PlanNameLimit + 1));
        r.size = TakeNumber(in, 5);
        out.records.push_back(r);
    }
    return out;
}

inline Bytes EncodePlan(std::uint8_t countCode, const std::vector<PlanRecord>& records) {
    Bytes out{1, countCode};
    for (const auto& r : records) {
        PutNumber(out, r.nameLength, 2);
        PutNumber(out, r.size, 5);
    }
    return out;
}

}  // namespace qvr::fuzz
