#include "names/names.h"

#include <cstdio>

#include "qvr/ascii.h"
#include "qvr/name_encoding.h"

namespace qvr::cli {

namespace {

bool IsC1Control(std::span<const std::uint8_t> seq) {
    return seq.size() == 2 && seq[0] == 0xC2 && seq[1] >= 0x80 && seq[1] <= 0x9F;
}

void AppendEscape(std::string& out, std::uint8_t b) {
    char buf[5];
    std::snprintf(buf, sizeof buf, "\\x%02X", b);
    out += buf;
}

// One character of a name or pattern: its code (a Unicode code point, a
// code-page character, or a stray byte kept apart from both) and its length.
struct Character {
    std::uint32_t code = 0;
    std::size_t length = 1;
};

constexpr std::uint32_t StrayByte = 0x80000000u;

Character CharacterAt(std::span<const std::uint8_t> text, std::size_t at, const NameCharacters& characters) {
    const std::uint8_t b = text[at];
    if (characters.utf8) {
        const std::size_t n = Utf8SequenceLength(text.subspan(at));
        if (n == 0) return {StrayByte | b, 1};
        if (n == 1) return {b, 1};
        std::uint32_t cp = b & (0x7Fu >> n);
        for (std::size_t i = 1; i < n; ++i) cp = (cp << 6) | (text[at + i] & 0x3Fu);
        return {cp, n};
    }
    if (characters.lead.IsLead(b) && at + 1 < text.size()) return {(std::uint32_t{b} << 8) | text[at + 1], 2};
    return {b, 1};
}

std::uint32_t Fold(std::uint32_t c, bool ignoreCase) {
    if (c == '/') return '\\';
    if (ignoreCase && c <= 0x7F) return AsciiLower(static_cast<std::uint8_t>(c));
    return c;
}

// Matches a `[...]` set at pattern[p] against character c; sets `next` past
// the set. A set without its closing bracket is taken as a literal '['.
bool MatchSet(std::span<const std::uint8_t> pattern, std::size_t p, std::uint32_t c, bool ignoreCase,
              const NameCharacters& characters, std::size_t& next, bool& matched) {
    std::size_t i = p + 1;
    bool negate = false;
    if (i < pattern.size() && (pattern[i] == '!' || pattern[i] == '^')) {
        negate = true;
        ++i;
    }
    bool any = false;
    bool first = true;
    while (i < pattern.size() && (first || pattern[i] != ']')) {
        first = false;
        const Character lo = CharacterAt(pattern, i, characters);
        std::uint32_t low = Fold(lo.code, ignoreCase), high = low;
        i += lo.length;
        if (i + 1 < pattern.size() && pattern[i] == '-' && pattern[i + 1] != ']') {
            const Character hi = CharacterAt(pattern, i + 1, characters);
            high = Fold(hi.code, ignoreCase);
            i += 1 + hi.length;
        }
        if (c >= low && c <= high) any = true;
    }
    if (i >= pattern.size()) return false;
    next = i + 1;
    matched = any != negate;
    return true;
}

}  // namespace

Bytes TextOf(std::span<const std::uint8_t> stored, const NameCodec& codec) {
    if (codec.Converts())
        if (auto text = codec.ToUtf8(stored)) return std::move(*text);
    return Bytes(stored.begin(), stored.end());
}

std::span<const std::uint8_t> NameText::Of(std::span<const std::uint8_t> stored) {
    valid_ = true;
    if (!codec_.Converts()) return stored;
    auto text = codec_.ToUtf8(stored);
    valid_ = text.has_value();
    if (!valid_) return stored;
    converted_ = std::move(*text);
    return converted_;
}

bool IsValidUtf8(std::span<const std::uint8_t> bytes) { return IsValidUtf8Name(bytes); }

#ifdef _WIN32
// A Windows console shows bytes in its own code page: only control bytes are escaped.
static std::string ConsoleText(std::span<const std::uint8_t> bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (auto b : bytes) {
        if (b < 0x20 || b == 0x7F) AppendEscape(out, b);
        else out.push_back(static_cast<char>(b));
    }
    return out;
}
#endif

std::string ToUtf8Lossy(std::span<const std::uint8_t> bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (std::size_t i = 0; i < bytes.size();) {
        const std::size_t n = Utf8SequenceLength(bytes.subspan(i));
        if (n == 0) {
            out += "\xEF\xBF\xBD";
            ++i;
        } else {
            out.append(reinterpret_cast<const char*>(bytes.data() + i), n);
            i += n;
        }
    }
    return out;
}

std::string DisplayName(std::span<const std::uint8_t> bytes, bool forTerminal) {
    if (!forTerminal) return std::string(bytes.begin(), bytes.end());
    std::string out;
    out.reserve(bytes.size());
#ifdef _WIN32
    return ConsoleText(bytes);
#endif
    for (std::size_t i = 0; i < bytes.size();) {
        const std::size_t n = Utf8SequenceLength(bytes.subspan(i));
        const auto seq = bytes.subspan(i, n == 0 ? 1 : n);
        if (n == 0 || (n == 1 && (bytes[i] < 0x20 || bytes[i] == 0x7F)) || IsC1Control(seq)) {
            for (auto b : seq) AppendEscape(out, b);
        } else {
            out.append(reinterpret_cast<const char*>(seq.data()), seq.size());
        }
        i += seq.size();
    }
    return out;
}

std::string Hex(std::span<const std::uint8_t> bytes) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (auto b : bytes) {
        out.push_back(digits[b >> 4]);
        out.push_back(digits[b & 15]);
    }
    return out;
}

bool IsPattern(std::span<const std::uint8_t> pattern) {
    for (std::size_t i = 0; i < pattern.size();) {
        const Character c = CharacterAt(pattern, i, SystemNameCharacters());
        if (c.code == '*' || c.code == '?' || c.code == '[') return true;
        i += c.length;
    }
    return false;
}

bool MatchName(std::span<const std::uint8_t> pattern, std::span<const std::uint8_t> name, bool ignoreCase,
               const NameCharacters& characters) {
    // Iterative matcher with one backtrack point for the last '*': linear in practice.
    std::size_t p = 0, n = 0;
    std::size_t starP = std::string::npos, starN = 0;
    while (n < name.size()) {
        const Character at = CharacterAt(name, n, characters);
        const std::uint32_t c = Fold(at.code, ignoreCase);
        if (p < pattern.size()) {
            const Character pc = CharacterAt(pattern, p, characters);
            if (pc.code == '*') {
                starP = p++;
                starN = n;
                continue;
            }
            if (pc.code == '?') {
                p += pc.length;
                n += at.length;
                continue;
            }
            if (pc.code == '[') {
                std::size_t next = 0;
                bool matched = false;
                if (MatchSet(pattern, p, c, ignoreCase, characters, next, matched)) {
                    if (matched) {
                        p = next;
                        n += at.length;
                        continue;
                    }
                } else if (c == '[') {
                    ++p;
                    n += at.length;
                    continue;
                }
            } else if (Fold(pc.code, ignoreCase) == c) {
                p += pc.length;
                n += at.length;
                continue;
            }
        }
        if (starP == std::string::npos) return false;
        p = starP + 1;
        starN += CharacterAt(name, starN, characters).length;
        n = starN;
    }
    while (p < pattern.size() && pattern[p] == '*') ++p;
    return p == pattern.size();
}

}  // namespace qvr::cli
