// Where each entry of an archive lands on extraction, decided in directory
// order. qvr extract writes by it and qvr test judges by it, so that test
// fails exactly where an extraction into an empty folder would.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <unordered_map>

#include "names/codec.h"

namespace qvr::cli {

enum class Placing {
    Placed,     // written to `relative`
    Refused,    // the name rule refuses it: `reason`
    Duplicate,  // entry `earlier` has the same path; the first of each path wins
    Clash,      // entry `earlier` needs this path as a file where this one needs a folder, or the reverse: `reason`
};

struct Place {
    Placing outcome = Placing::Placed;
    std::filesystem::path relative;
    std::uint32_t earlier = 0;
    std::string reason;
};

class Placer {
public:
    // Names are the text `codec` gives (NameCodec::ToUtf8).
    explicit Placer(const NameCodec& codec = NameCodec::PassThrough()) : codec_(codec) {}
    // `name` is what the tool writes by: UTF-8 text, or the stored bytes
    // where no encoding converts them.
    Place Add(std::uint32_t index, std::span<const std::uint8_t> name);

private:
    const NameCodec& codec_;
    std::unordered_map<std::string, std::uint32_t> files_;    // path -> entry written there
    std::unordered_map<std::string, std::uint32_t> folders_;  // folder -> first entry inside it
};

}  // namespace qvr::cli
