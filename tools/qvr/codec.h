// Names between an archive's legacy encoding and UTF-8.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace qvr::cli {

using Bytes = std::vector<std::uint8_t>;

// Converts names between an archive's encoding and UTF-8. Without an
// encoding, names pass through as bytes.
class NameCodec {
public:
    NameCodec();
    ~NameCodec();
    NameCodec(NameCodec&&) noexcept;
    NameCodec& operator=(NameCodec&&) noexcept;

    // An error message when the encoding is unknown (or, on Windows, not supported).
    static std::optional<NameCodec> Make(const std::string& encoding, std::string& error);

    bool Converts() const noexcept { return impl_ != nullptr; }
    // Stored bytes to UTF-8 (or unchanged); nullopt when they are not valid in the encoding.
    std::optional<Bytes> ToUtf8(std::span<const std::uint8_t> stored) const;
    // UTF-8 (or bytes, unchanged) to stored bytes; nullopt when the encoding cannot hold them.
    std::optional<Bytes> FromUtf8(std::span<const std::uint8_t> text) const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace qvr::cli
