// What a host should receive from the plug-in for any bytes at all, worked
// out with the archive core alone: the core opens, walks and bounds an
// archive, and the host contract adds the rest (the index range, the
// zero-size block, the file that must hold the whole entry). Damaged
// archives are judged against this, call by call.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "support.h"

namespace axqvr::test {

// GetArchiveInfo: the code, and on Success the ListingBlock's bytes.
struct ExpectedListing {
    ResultCode code = ResultCode::Success;
    Bytes block;
};

// GetFileInfo: the code, and the record as the host's record should hold
// it afterwards when the walk reached an entry (`touched`).
struct ExpectedLookup {
    ResultCode code = ResultCode::Success;
    bool touched = false;
    FileInfoRecord record{};
};

// GetFile up to the output stage: the code of the extraction, and on
// Success the delivered bytes and the name a disk file would get.
struct ExpectedExtraction {
    ResultCode code = ResultCode::Success;
    Bytes content;
    std::string name;
};

// An archive file whose bytes are `file`, opened at offset `offset`.
ExpectedListing ListFile(std::span<const std::uint8_t> file, std::uint32_t offset);
ExpectedLookup LookUpInFile(std::span<const std::uint8_t> file, std::uint32_t offset, const char* name,
                            bool ignoreCase);
ExpectedExtraction ExtractFromFile(std::span<const std::uint8_t> file, std::int32_t index);

// A memory image of exactly these bytes.
ExpectedListing ListImage(std::span<const std::uint8_t> image);
ExpectedLookup LookUpInImage(std::span<const std::uint8_t> image, const char* name, bool ignoreCase);

// GetFile's memory source: `readable` is all the memory the plug-in may
// read around the source (no byte before or after it can be read), and
// the source lies `at` bytes into it.
ExpectedExtraction ExtractFromMemory(std::span<const std::uint8_t> readable, std::size_t at);

// The host's name comparison: bytes, with only A-Z folded when asked.
bool HostNamesEqual(const char* a, const char* b, bool ignoreCase);

}  // namespace axqvr::test
