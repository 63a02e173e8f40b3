// Names through Windows code pages. Without an encoding, names are in the
// system's ANSI code page, as the plug-in and CreateFileA read them, and pass
// through as bytes; with one, they are converted to and from UTF-8.
#include <windows.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <string_view>
#include <utility>

#include "names/codec.h"
#include "names/names.h"
#include "qvr/ascii.h"

namespace qvr::cli {
namespace {

constexpr std::string_view ReplacementCharacter = "\xEF\xBF\xBD";

std::string Upper(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](char c) { return AsciiUpper(c); });
    return s;
}

// The code page for a name people type: the iconv names of the common
// double-byte encodings, CPnnnn, WINDOWS-nnnn or a bare number; 0 if none.
UINT CodePageByName(const std::string& encoding) {
    static const std::pair<std::string_view, UINT> names[] = {
        {"SHIFT_JIS", 932},  {"SHIFT-JIS", 932}, {"SHIFTJIS", 932},  {"SJIS", 932},       {"MS_KANJI", 932},
        {"WINDOWS-31J", 932}, {"MS932", 932},    {"CSSHIFTJIS", 932}, {"GBK", 936},       {"GB2312", 936},
        {"MS936", 936},      {"GB18030", 54936}, {"UHC", 949},       {"EUC-KR", 949},     {"BIG5", 950},
        {"BIG-5", 950},      {"UTF-8", CP_UTF8}, {"UTF8", CP_UTF8},  {"LATIN1", 28591},   {"ISO-8859-1", 28591},
    };
    const auto name = Upper(encoding);
    for (const auto& [alias, codePage] : names)
        if (name == alias) return codePage;
    std::string_view digits = name;
    for (const std::string_view prefix : {"CP", "WINDOWS-"})
        if (digits.starts_with(prefix)) digits.remove_prefix(prefix.size());
    UINT number = 0;
    const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
    if (ec != std::errc{} || end != digits.data() + digits.size()) return 0;
    return number;
}

// Some code pages (GB18030, the ISO-2022 ones, and UTF-8 for the best-fit
// flag) refuse the flags that make conversions strict; for them strictness
// comes from the round trip alone.
// How many wide characters `bytes` make (0 when they do not convert), and
// with which flags.
int WideLength(UINT codePage, std::span<const std::uint8_t> bytes, DWORD& flags) {
    const auto* in = reinterpret_cast<const char*>(bytes.data());
    const int size = static_cast<int>(bytes.size());
    flags = MB_ERR_INVALID_CHARS;
    int n = MultiByteToWideChar(codePage, flags, in, size, nullptr, 0);
    if (n <= 0 && GetLastError() == ERROR_INVALID_FLAGS) n = MultiByteToWideChar(codePage, flags = 0, in, size, nullptr, 0);
    return n > 0 ? n : 0;
}

std::optional<std::wstring> Widen(UINT codePage, std::span<const std::uint8_t> bytes) {
    if (bytes.empty()) return std::wstring{};
    const auto* in = reinterpret_cast<const char*>(bytes.data());
    const int size = static_cast<int>(bytes.size());
    DWORD flags = 0;
    const int n = WideLength(codePage, bytes, flags);
    if (n == 0) return std::nullopt;
    std::wstring wide(static_cast<std::size_t>(n), L'\0');
    if (MultiByteToWideChar(codePage, flags, in, size, wide.data(), n) != n) return std::nullopt;
    return wide;
}

// Wide text in the code page, only when every character has its own bytes
// there and those bytes read back as the same text: no best-fit look-alikes,
// no default character.
std::optional<Bytes> NarrowExactly(UINT codePage, std::wstring_view wide) {
    if (wide.empty()) return Bytes{};
    const int size = static_cast<int>(wide.size());
    const bool utf8 = codePage == CP_UTF8;
    DWORD flags = utf8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
    BOOL usedDefault = FALSE;
    BOOL* usedDefaultOut = utf8 ? nullptr : &usedDefault;
    int n = WideCharToMultiByte(codePage, flags, wide.data(), size, nullptr, 0, nullptr, usedDefaultOut);
    if (n <= 0 && !utf8 && (GetLastError() == ERROR_INVALID_FLAGS || GetLastError() == ERROR_INVALID_PARAMETER)) {
        flags = 0;
        usedDefaultOut = nullptr;
        n = WideCharToMultiByte(codePage, flags, wide.data(), size, nullptr, 0, nullptr, nullptr);
    }
    if (n <= 0 || usedDefault) return std::nullopt;
    Bytes out(static_cast<std::size_t>(n));
    if (WideCharToMultiByte(codePage, flags, wide.data(), size, reinterpret_cast<char*>(out.data()), n, nullptr,
                            usedDefaultOut) != n ||
        usedDefault)
        return std::nullopt;
    const auto back = Widen(codePage, out);
    if (!back || *back != wide) return std::nullopt;
    return out;
}

// What ToUtf8 gives and FromUtf8 takes.
UINT TextCodePage(const NameCodec& codec) {
    if (codec.Converts()) return CP_UTF8;
    return codec.CodePage() != 0 ? codec.CodePage() : CP_ACP;
}

LeadBytes LeadBytesOf(UINT codePage) {
    CPINFO info{};
    if (!GetCPInfo(codePage, &info)) return LeadBytes{};
    return LeadBytes::FromRangePairs(std::span<const std::uint8_t>(info.LeadByte, MAX_LEADBYTES));
}

}  // namespace

// Code pages are numbers: nothing to hold.
struct NameCodec::Impl {};

NameCodec::NameCodec() = default;
NameCodec::~NameCodec() = default;
NameCodec::NameCodec(NameCodec&&) noexcept = default;
NameCodec& NameCodec::operator=(NameCodec&&) noexcept = default;

Result<NameCodec> NameCodec::Make(const std::string& encoding) {
    NameCodec codec;
    if (encoding.empty()) {
        codec.codePage_ = GetACP();
    } else {
        const UINT codePage = CodePageByName(encoding);
        if (codePage == 0 || !IsValidCodePage(codePage))
            return Fail("unknown encoding '" + encoding +
                        "'; known: CP932 (SHIFT_JIS, SJIS), CP936 (GBK), CP949, CP950 (BIG5), CP1252, UTF-8, "
                        "or a code page number such as 932");
        codec.codePage_ = codePage;
        codec.converts_ = true;
        codec.name_ = encoding;
    }
    codec.lead_ = LeadBytesOf(codec.codePage_);
    return codec;
}

std::optional<Bytes> NameCodec::DecodePart(std::span<const std::uint8_t> part) const {
    const auto wide = Widen(codePage_, part);
    if (!wide) return std::nullopt;
    return NarrowExactly(CP_UTF8, *wide);
}

std::optional<Bytes> NameCodec::EncodePart(std::span<const std::uint8_t> part) const {
    const auto wide = Widen(CP_UTF8, part);
    if (!wide) return std::nullopt;
    return NarrowExactly(codePage_, *wide);
}

void NameCodec::AppendLossyPart(std::string& out, std::span<const std::uint8_t> part) const {
    if (codePage_ == CP_UTF8) {
        out += ToUtf8Lossy(part);
        return;
    }
    if (const auto text = DecodePart(part)) {
        out.append(text->begin(), text->end());
        return;
    }
    // Character by character: a byte that starts no valid character
    // becomes U+FFFD, and reading goes on with the byte after it.
    for (std::size_t i = 0; i < part.size();) {
        const std::size_t n = lead_.IsLead(part[i]) && i + 1 < part.size() ? 2 : 1;
        if (const auto text = DecodePart(part.subspan(i, n))) {
            out.append(text->begin(), text->end());
            i += n;
        } else {
            out += ReplacementCharacter;
            ++i;
        }
    }
}

std::optional<std::filesystem::path> NameCodec::NativeComponent(std::span<const std::uint8_t> text) const {
    auto wide = Widen(TextCodePage(*this), text);
    if (!wide) return std::nullopt;
    return std::filesystem::path(std::move(*wide));
}

bool NameCodec::TakesComponent(std::span<const std::uint8_t> text) const {
    DWORD flags = 0;
    return text.empty() || WideLength(TextCodePage(*this), text, flags) > 0;
}

std::optional<Bytes> NameCodec::ComponentText(const std::filesystem::path& component) const {
    return NarrowExactly(TextCodePage(*this), component.native());
}

}  // namespace qvr::cli
