// Names between an archive's legacy encoding and the tool's text.
//
// Stored names are bytes in the code page of the system that made the
// archive. In a double-byte code page the second byte of a character may be
// 0x5C, the backslash, and some converters (Shift_JIS in iconv) read a lone
// 0x5C as the yen sign. So a name is always cut into folders first, at
// separators that start a character, and each part is converted alone; the
// separator bytes themselves are kept as they are.
//
// The tool's text is UTF-8 when an encoding is given. Without one, names pass
// through as bytes: on Linux they are taken as UTF-8; on Windows they are in
// the system's ANSI code page, as the plug-in and every `...A` call read them.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "qvr/entry_name.h"
#include "result.h"

namespace qvr::cli {

using Bytes = std::vector<std::uint8_t>;

class NameCodec {
public:
    NameCodec();
    ~NameCodec();
    NameCodec(NameCodec&&) noexcept;
    NameCodec& operator=(NameCodec&&) noexcept;

    // The codec for `encoding`: an iconv name on Linux; on Windows a code page
    // by name (CP932, SHIFT_JIS, GBK, BIG5, CP1252, UTF-8, ...) or number.
    // Empty: names pass through (see above). A failure names an unknown
    // encoding.
    static Result<NameCodec> Make(const std::string& encoding);

    // True when stored names are converted to UTF-8 text.
    bool Converts() const noexcept { return converts_; }
    // The Windows code page of the stored names: on Windows the one in use
    // (the ANSI code page without an encoding); on Linux the one whose byte
    // layout the iconv encoding shares (932 for every Shift_JIS name, 936,
    // 949, 950, 65001 for UTF-8), 0 for any other and without an encoding.
    std::uint32_t CodePage() const noexcept { return codePage_; }
    // The bytes that start a two-byte character in stored names.
    const LeadBytes& Lead() const noexcept { return lead_; }
    // The same for the text that ToUtf8 gives: none for UTF-8, Lead() when
    // names pass through.
    const LeadBytes& TextLead() const noexcept { return Converts() ? noLead_ : lead_; }
    // "CP932", or "" when names pass through.
    const std::string& Name() const noexcept { return name_; }

    // Stored bytes to text; nullopt when a part is not valid in the encoding.
    std::optional<Bytes> ToUtf8(std::span<const std::uint8_t> stored) const;
    // Text to stored bytes, only when they decode to exactly this text again:
    // nothing is stored that would not come back as it went in (CP932 writes
    // U+00A2 '¢' as the bytes of U+FFE0 '￠'). Otherwise nullopt, and `why`
    // says what is wrong in a few words.
    std::optional<Bytes> FromUtf8(std::span<const std::uint8_t> text, std::string* why = nullptr) const;
    // Valid UTF-8 for any stored name, for JSON: bytes that do not decode
    // become U+FFFD.
    std::string LossyUtf8(std::span<const std::uint8_t> stored) const;

    // One folder or file name of text as the file system takes it, or
    // nullopt when it cannot (on Windows: not valid in the text's code page).
    std::optional<std::filesystem::path> NativeComponent(std::span<const std::uint8_t> text) const;
    // Whether NativeComponent takes `text`, without making the path: for
    // callers that look at every name of a large directory.
    bool TakesComponent(std::span<const std::uint8_t> text) const;
    // True where TakesComponent takes every text (a POSIX file system takes
    // names as bytes), so that a caller placing every name need not ask.
    static constexpr bool TakesEveryComponent() noexcept {
#ifdef _WIN32
        return false;
#else
        return true;
#endif
    }
    // One folder or file name from the file system as text, or nullopt when
    // the text cannot hold it exactly (on Windows without an encoding: a
    // character outside the ANSI code page).
    std::optional<Bytes> ComponentText(const std::filesystem::path& component) const;

    // How names pass through without an encoding; for defaults.
    static const NameCodec& PassThrough();

private:
    // One name part, with no separator in it, through the platform's
    // converter: strict both ways, and lossy to UTF-8 for JSON.
    std::optional<Bytes> DecodePart(std::span<const std::uint8_t> part) const;
    std::optional<Bytes> EncodePart(std::span<const std::uint8_t> part) const;
    void AppendLossyPart(std::string& out, std::span<const std::uint8_t> part) const;

    struct Impl;  // the platform's converter
    std::unique_ptr<Impl> impl_;
    bool converts_ = false;
    std::uint32_t codePage_ = 0;
    LeadBytes lead_;
    LeadBytes noLead_;
    std::string name_;
};

}  // namespace qvr::cli
