#include "commands/pack.h"

#include <fmt/format.h>

#include "qvr/scramble.h"

namespace qvr::cli {

namespace fs = std::filesystem;

namespace {

// Files up to this size are read into the held bytes with one read, and
// written with the others; larger ones are copied by the kernel.
constexpr std::size_t SmallFile = std::size_t{64} << 10;
constexpr std::size_t HeldSize = std::size_t{1} << 20;
// An archive is synced before it takes its name: the disk is asked to start
// on every such piece while the next is copied, so that the final sync
// waits for little more than the last piece.
constexpr std::uint64_t WriteOutPiece = std::uint64_t{64} << 20;

}  // namespace

Packer::Packer(NativeHandle to, bool toIsStream, bool followLinks, Reporter& reporter)
    : to_(to), toIsStream_(toIsStream), followLinks_(followLinks), reporter_(reporter) {}

Result<InputFile> Packer::Open(const Input& in) {
    if (!in.folder) return InputFile::OpenToPack(fs::path(in.leaf), followLinks_);
    const NativePath& folderPath = *in.folder;
    if (!folder_ || folder_->Path() != folderPath) {
        folder_.reset();
        auto opened = SourceFolder::Open(folderPath);
        if (!opened) return opened.failure();
        folder_.emplace(std::move(*opened));
    }
    return InputFile::OpenToPack(*folder_, in.leaf, followLinks_);
}

bool Packer::Pack(const Input& in) {
    const auto source = [&] { return ShownPath(in.Source()); };
    auto file = Open(in);
    if (!file) {
        reporter_.Failed(fmt::format("{}: {}", source(), file.error()));
        return false;
    }
    if (file->Identity() != in.identity) {
        reporter_.Failed(fmt::format("{}: was replaced by another file after it was checked; not packed", source()));
        return false;
    }
    if (file->Size() < in.size) {
        reporter_.Failed(fmt::format("{}: shrank while being packed", source()));
        return false;
    }
    if (in.size <= SmallFile) return PackHeld(in, *file);
    if (!Flush()) return false;
    const auto copied = CopyMasked(*file, 0, in.size, to_, toIsStream_);
    if (!copied || *copied != in.size) {
        reporter_.Failed(fmt::format("{}: {}", source(),
                                     copied ? "shorter than its size said" : "cannot copy: " + copied.error()));
        return false;
    }
    Wrote(in.size);
    if (file->CurrentSize() != in.size)
        reporter_.Failed(fmt::format("{} changed as it was read; its first {} bytes were stored", source(), in.size));
    return true;
}

void Packer::Wrote(std::uint64_t bytes) {
    notWrittenOut_ += bytes;
    if (notWrittenOut_ < WriteOutPiece || toIsStream_) return;
    StartWriteOut(to_);
    notWrittenOut_ = 0;
}

// A small file is read with one byte more than gathered: the same read
// that takes its bytes tells whether it has grown.
bool Packer::PackHeld(const Input& in, InputFile& file) {
    const auto size = static_cast<std::size_t>(in.size);
    if (held_.capacity() < HeldSize) held_.reserve(HeldSize);
    if (held_.size() + size + 1 > held_.capacity() && !Flush()) return false;
    const std::size_t at = held_.size();
    held_.resize(at + size + 1);
    const auto into = std::span(held_).subspan(at);
    std::size_t got = file.ReadOnceAt(0, into);
    if (got < size) got += file.ReadAt(got, into.subspan(got));
    held_.resize(at + size);
    if (got < size) {
        held_.resize(at);
        reporter_.Failed(fmt::format("{}: shorter than its size said", ShownPath(in.Source())));
        return false;
    }
    ScrambleContent(into.first(size));
    if (got > size || file.Size() != in.size)
        reporter_.Failed(fmt::format("{} changed as it was read; its first {} bytes were stored",
                                     ShownPath(in.Source()), in.size));
    return true;
}

bool Packer::Flush() {
    if (held_.empty()) return true;
    const auto written = WriteAll(to_, held_);
    if (!written) {
        reporter_.Failed("cannot write: " + written.error());
        return false;
    }
    Wrote(held_.size());
    held_.clear();
    return true;
}

bool Packer::Finish() { return Flush(); }

bool PackFile(const Input& in, bool followLinks, NativeHandle to, bool toIsStream, Reporter& reporter) {
    Packer packer(to, toIsStream, followLinks, reporter);
    return packer.Pack(in) && packer.Finish();
}

}  // namespace qvr::cli
