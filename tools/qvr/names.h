// Entry names as people see and type them: conversion between the archive's
// legacy encoding and UTF-8, safe display, and name patterns.
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

bool IsValidUtf8(std::span<const std::uint8_t> bytes);

// Valid UTF-8 for any bytes: invalid sequences become U+FFFD.
std::string ToUtf8Lossy(std::span<const std::uint8_t> bytes);

// For a terminal: control bytes (and C1 controls, and bytes that are not
// valid UTF-8) become \xNN escapes. Otherwise the bytes are unchanged.
std::string DisplayName(std::span<const std::uint8_t> bytes, bool forTerminal);

// Lower-case hex of the bytes.
std::string Hex(std::span<const std::uint8_t> bytes);

// Shell-style match: `*` any run of bytes (separators included), `?` one
// byte, `[...]` a set (`!` or `^` negates, `a-z` ranges). Slash and
// backslash match each other. With `ignoreCase`, only A-Z fold to a-z.
bool MatchName(std::span<const std::uint8_t> pattern, std::span<const std::uint8_t> name, bool ignoreCase);
bool IsPattern(std::span<const std::uint8_t> pattern);

}  // namespace qvr::cli
