// Names through iconv. Without an encoding, names pass through as bytes and
// are taken as UTF-8.
#include <iconv.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <mutex>
#include <utility>

#include "names/codec.h"
#include "names/names.h"
#include "qvr/ascii.h"

namespace qvr::cli {
namespace {

constexpr std::string_view ReplacementCharacter = "\xEF\xBF\xBD";

// One iconv conversion; iconv descriptors keep state, so each is used under a lock.
class Converter {
public:
    explicit Converter(iconv_t cd) : cd_(cd) {}
    ~Converter() { iconv_close(cd_); }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;

    // With `lossy`, a byte that does not convert becomes U+FFFD (the target
    // is UTF-8 then) and the conversion goes on after it.
    std::optional<Bytes> Run(std::span<const std::uint8_t> in, bool lossy) {
        std::lock_guard lock(mutex_);
        iconv(cd_, nullptr, nullptr, nullptr, nullptr);
        Bytes out(in.size() * 4 + 16);
        // iconv's interface takes non-const input pointers but does not write through them.
        char* src = const_cast<char*>(reinterpret_cast<const char*>(in.data()));
        std::size_t srcLeft = in.size();
        std::size_t used = 0;
        const auto room = [&](std::size_t n) {
            if (out.size() - used < n) out.resize(std::max(out.size() * 2, used + n));
        };
        while (srcLeft > 0) {
            char* dst = reinterpret_cast<char*>(out.data() + used);
            std::size_t dstLeft = out.size() - used;
            const bool ok = iconv(cd_, &src, &srcLeft, &dst, &dstLeft) != static_cast<std::size_t>(-1);
            const int error = errno;
            used = out.size() - dstLeft;
            if (ok) continue;
            if (error == E2BIG) {
                room(out.size());
                continue;
            }
            if (!lossy) return std::nullopt;
            room(ReplacementCharacter.size());
            std::copy(ReplacementCharacter.begin(), ReplacementCharacter.end(), out.begin() + static_cast<long>(used));
            used += ReplacementCharacter.size();
            ++src;
            --srcLeft;
            iconv(cd_, nullptr, nullptr, nullptr, nullptr);
        }
        // A stateful encoding may end with a shift back to its initial state.
        room(16);
        char* dst = reinterpret_cast<char*>(out.data() + used);
        std::size_t dstLeft = out.size() - used;
        if (iconv(cd_, nullptr, nullptr, &dst, &dstLeft) == static_cast<std::size_t>(-1)) return std::nullopt;
        used = out.size() - dstLeft;
        out.resize(used);
        return out;
    }

private:
    iconv_t cd_;
    std::mutex mutex_;
};

std::string Upper(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](char c) { return AsciiUpper(c); });
    return s;
}

// The Windows code page whose byte layout an iconv encoding shares, so that
// names split where that code page's characters begin. Every Shift_JIS
// variant has the lead bytes of 932; EUC-CN, GB18030, EUC-KR and Big5-HKSCS
// pair their bytes the same way as 936, 949 and 950 do.
std::uint32_t CodePageFamily(const std::string& encoding) {
    static const std::pair<std::string_view, std::uint32_t> families[] = {
        {"SJIS", 932},        {"SHIFT_JIS", 932},      {"SHIFT-JIS", 932},     {"SHIFTJIS", 932},
        {"CP932", 932},       {"MS932", 932},          {"WINDOWS-31J", 932},   {"MS_KANJI", 932},
        {"CSSHIFTJIS", 932},  {"CSWINDOWS31J", 932},   {"IBM-932", 932},       {"IBM932", 932},
        {"CSIBM932", 932},    {"IBM-943", 932},        {"IBM943", 932},        {"SJIS-OPEN", 932},
        {"SJIS-WIN", 932},    {"SHIFT_JISX0213", 932}, {"SHIFTJISX0213", 932}, {"GBK", 936},
        {"CP936", 936},       {"MS936", 936},          {"WINDOWS-936", 936},   {"GB2312", 936},
        {"CSGB2312", 936},    {"EUC-CN", 936},         {"EUCCN", 936},         {"GB18030", 936},
        {"CP949", 949},       {"UHC", 949},            {"MSCP949", 949},       {"EUC-KR", 949},
        {"EUCKR", 949},       {"CSEUCKR", 949},        {"BIG5", 950},          {"BIG-5", 950},
        {"CN-BIG5", 950},     {"CSBIG5", 950},         {"CP950", 950},         {"BIG5-HKSCS", 950},
        {"BIG5HKSCS", 950},   {"UTF-8", 65001},        {"UTF8", 65001},
    };
    // iconv takes suffixes such as //TRANSLIT after the name.
    const auto name = Upper(encoding.substr(0, encoding.find("//")));
    for (const auto& [alias, codePage] : families)
        if (name == alias) return codePage;
    return 0;
}

}  // namespace

struct NameCodec::Impl {
    Converter toUtf8;
    Converter fromUtf8;
};

NameCodec::NameCodec() = default;
NameCodec::~NameCodec() = default;
NameCodec::NameCodec(NameCodec&&) noexcept = default;
NameCodec& NameCodec::operator=(NameCodec&&) noexcept = default;

Result<NameCodec> NameCodec::Make(const std::string& encoding) {
    NameCodec codec;
    if (encoding.empty()) return codec;
    const iconv_t to = iconv_open("UTF-8", encoding.c_str());
    if (to == reinterpret_cast<iconv_t>(-1)) return Fail("unknown encoding '" + encoding + "' (see iconv --list)");
    const iconv_t from = iconv_open(encoding.c_str(), "UTF-8");
    if (from == reinterpret_cast<iconv_t>(-1)) {
        iconv_close(to);
        return Fail("unknown encoding '" + encoding + "' (see iconv --list)");
    }
    codec.impl_ = std::unique_ptr<Impl>(new Impl{Converter(to), Converter(from)});
    codec.converts_ = true;
    codec.codePage_ = CodePageFamily(encoding);
    codec.lead_ = LeadBytes::ForCodePage(codec.codePage_);
    codec.name_ = encoding;
    return codec;
}

std::optional<Bytes> NameCodec::DecodePart(std::span<const std::uint8_t> part) const {
    return impl_->toUtf8.Run(part, false);
}

std::optional<Bytes> NameCodec::EncodePart(std::span<const std::uint8_t> part) const {
    return impl_->fromUtf8.Run(part, false);
}

void NameCodec::AppendLossyPart(std::string& out, std::span<const std::uint8_t> part) const {
    if (!impl_) {
        out += ToUtf8Lossy(part);
        return;
    }
    const auto text = impl_->toUtf8.Run(part, true);
    out.append(text->begin(), text->end());
}

std::optional<std::filesystem::path> NameCodec::NativeComponent(std::span<const std::uint8_t> text) const {
    return std::filesystem::path(std::string(text.begin(), text.end()));
}

// Linux takes any bytes but the separator and zero, which the name rule
// has refused already.
bool NameCodec::TakesComponent(std::span<const std::uint8_t>) const { return true; }

std::optional<Bytes> NameCodec::ComponentText(const std::filesystem::path& component) const {
    const auto& s = component.native();
    return Bytes(s.begin(), s.end());
}

}  // namespace qvr::cli
