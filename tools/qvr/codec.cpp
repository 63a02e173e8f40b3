#include "codec.h"

#ifndef _WIN32
#include <iconv.h>

#include <cerrno>
#include <mutex>
#endif

namespace qvr::cli {

#ifndef _WIN32
namespace {

// One iconv conversion; iconv descriptors keep state, so each is used under a lock.
class Converter {
public:
    Converter(iconv_t cd) : cd_(cd) {}
    ~Converter() { iconv_close(cd_); }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;

    std::optional<Bytes> Run(std::span<const std::uint8_t> in) {
        std::lock_guard lock(mutex_);
        iconv(cd_, nullptr, nullptr, nullptr, nullptr);
        Bytes out(in.size() * 4 + 16);
        // iconv's interface takes non-const input pointers but does not write through them.
        char* src = const_cast<char*>(reinterpret_cast<const char*>(in.data()));
        std::size_t srcLeft = in.size();
        char* dst = reinterpret_cast<char*>(out.data());
        std::size_t dstLeft = out.size();
        if (iconv(cd_, &src, &srcLeft, &dst, &dstLeft) == static_cast<std::size_t>(-1)) return std::nullopt;
        if (iconv(cd_, nullptr, nullptr, &dst, &dstLeft) == static_cast<std::size_t>(-1)) return std::nullopt;
        out.resize(out.size() - dstLeft);
        return out;
    }

private:
    iconv_t cd_;
    std::mutex mutex_;
};

}  // namespace

struct NameCodec::Impl {
    std::unique_ptr<Converter> toUtf8;
    std::unique_ptr<Converter> fromUtf8;
};
#else
struct NameCodec::Impl {};
#endif

NameCodec::NameCodec() = default;
NameCodec::~NameCodec() = default;
NameCodec::NameCodec(NameCodec&&) noexcept = default;
NameCodec& NameCodec::operator=(NameCodec&&) noexcept = default;

std::optional<NameCodec> NameCodec::Make(const std::string& encoding, std::string& error) {
    NameCodec codec;
    if (encoding.empty()) return codec;
#ifdef _WIN32
    error = "--encoding is available on Linux only; on Windows names are read in the system code page";
    return std::nullopt;
#else
    const iconv_t to = iconv_open("UTF-8", encoding.c_str());
    if (to == reinterpret_cast<iconv_t>(-1)) {
        error = "unknown encoding '" + encoding + "' (see iconv --list)";
        return std::nullopt;
    }
    const iconv_t from = iconv_open(encoding.c_str(), "UTF-8");
    if (from == reinterpret_cast<iconv_t>(-1)) {
        iconv_close(to);
        error = "unknown encoding '" + encoding + "' (see iconv --list)";
        return std::nullopt;
    }
    codec.impl_ = std::make_unique<Impl>();
    codec.impl_->toUtf8 = std::make_unique<Converter>(to);
    codec.impl_->fromUtf8 = std::make_unique<Converter>(from);
    return codec;
#endif
}

std::optional<Bytes> NameCodec::ToUtf8(std::span<const std::uint8_t> stored) const {
#ifndef _WIN32
    if (impl_) return impl_->toUtf8->Run(stored);
#endif
    return Bytes(stored.begin(), stored.end());
}

std::optional<Bytes> NameCodec::FromUtf8(std::span<const std::uint8_t> text) const {
#ifndef _WIN32
    if (impl_) return impl_->fromUtf8->Run(text);
#endif
    return Bytes(text.begin(), text.end());
}

}  // namespace qvr::cli
