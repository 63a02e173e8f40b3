#include "qvr/directory.h"

#include <algorithm>
#include <array>
#include <cstdint>

#include "qvr/scramble.h"

namespace qvr {

std::span<const std::uint8_t> Entry::NameText() const noexcept {
    const auto bytes = NameBytes();
    const auto end = std::find(bytes.begin(), bytes.end(), std::uint8_t{0});
    return bytes.first(static_cast<std::size_t>(end - bytes.begin()));
}

bool ReadNextEntry(DirectoryCursor& cursor, Entry& out) noexcept {
    const auto stored = PeekEntry(cursor);
    if (!stored) return false;

    out.index = cursor.index;
    out.nameLength = stored->nameLength;
    out.name.fill(0);
    std::copy(stored->scrambledName.begin(), stored->scrambledName.end(), out.name.begin());
    DescrambleName(std::span(out.name).first(stored->nameLength));
    out.dataSize = stored->dataSize;
    out.dataOffset = stored->dataOffset;

    cursor.offset += EntrySize(stored->nameLength);
    ++cursor.index;
    return true;
}

bool SkipEntry(DirectoryCursor& cursor) noexcept {
    const auto stored = PeekEntry(cursor);
    if (!stored) return false;
    cursor.offset += EntrySize(stored->nameLength);
    ++cursor.index;
    return true;
}

namespace {

// Where the entry after the one at `offset` begins, or Stopped when that
// entry would run past the directory's end: both its fixed part and its
// name must lie inside.
constexpr std::size_t Stopped = SIZE_MAX;

inline std::size_t After(const std::uint8_t* directory, std::size_t size, std::size_t offset) noexcept {
    if (offset > size || size - offset < EntryFixedSize) return Stopped;
    const std::size_t next = offset + EntrySize(directory[offset + EntryNameLengthOffset]);
    return next <= size ? next : Stopped;
}

// A walk passes entries one at a time, each step waiting on the load of
// the last: to pass many, a second walk runs at the same time from a guess
// further on, which need not be an entry's start. A walk from a wrong place
// falls into step with the true one after a few entries; once the true walk
// lands on an offset the guess passed, every later offset of the guess is
// the true walk's own, and the true walk jumps there. Where they never
// meet, the true walk goes on alone, so the result is always the plain walk's.
constexpr std::uint32_t GuessFrom = 256;        // fewer entries are walked plainly
constexpr std::uint32_t GuessTrail = 2048;      // offsets of the guessed walk kept
constexpr std::uint32_t EntriesToMeasure = 16;  // walked plainly first, to learn the usual entry length

struct Walk {
    const std::uint8_t* directory;
    std::size_t size;
    std::size_t offset;
    std::uint32_t passed = 0;

    // Passes entries until `until` are passed; false when one would not fit.
    bool Plainly(std::uint32_t until) noexcept {
        for (; passed < until; ++passed) {
            const std::size_t next = After(directory, size, offset);
            if (next == Stopped) return false;
            offset = next;
        }
        return true;
    }

    bool Step() noexcept {
        const std::size_t next = After(directory, size, offset);
        if (next == Stopped) return false;
        offset = next;
        ++passed;
        return true;
    }

    // One round of the guessed walk, ending with up to `count` entries passed.
    // The guess halves what is left to walk, in entries and in bytes, so
    // that both walks have about as far to go.
    bool WithGuess(std::uint32_t count, std::size_t start) noexcept {
        const std::size_t usual = (offset - start) / passed;
        const auto steps = static_cast<std::uint32_t>(
            std::min<std::size_t>({GuessTrail - 1, (count - passed) / 2, (size - offset) / usual / 2}));
        if (steps < GuessFrom / 2) return Plainly(count);
        const std::size_t guess = offset + usual * steps;
        std::array<std::uint32_t, GuessTrail> trail;  // the guessed walk's offsets, less `guess`
        std::uint32_t kept = 0;
        trail[kept++] = 0;
        std::size_t ahead = guess;
        while (offset < guess && passed < count) {
            if (!Step()) return false;
            if (ahead != Stopped && kept <= steps) {
                ahead = After(directory, size, ahead);
                if (ahead != Stopped) trail[kept++] = static_cast<std::uint32_t>(ahead - guess);
            }
        }
        for (std::uint32_t j = 0; passed < count;) {
            while (j < kept && guess + trail[j] < offset) ++j;
            if (j == kept) return true;  // passed the guess without meeting it
            if (guess + trail[j] == offset) {
                const std::uint32_t jump = std::min(kept - 1 - j, count - passed);
                offset = guess + trail[j + jump];
                passed += jump;
                return true;
            }
            if (!Step()) return false;
        }
        return true;
    }
};

}  // namespace

bool SkipEntries(DirectoryCursor& cursor, std::uint32_t count) noexcept {
    Walk walk{cursor.directory.data(), cursor.directory.size(), cursor.offset};
    bool whole = walk.Plainly(std::min(count, EntriesToMeasure));
    while (whole && count - walk.passed >= GuessFrom) whole = walk.WithGuess(count, cursor.offset);
    whole = whole && walk.Plainly(count);
    cursor.offset = walk.offset;
    cursor.index += walk.passed;
    return whole;
}

std::string WhereDirectoryEnds(const DirectoryWalk& walk) {
    if (walk.Complete()) return {};
    return "the directory ends inside entry " + std::to_string(walk.walked);
}

}  // namespace qvr
