#include "entry_name.h"

#include <cstring>
#include <span>

#include <windows.h>

#include "qvr/entry_name.h"

namespace axqvr {
namespace {

qvr::LeadBytes SystemLeadBytes() noexcept {
    CPINFO info{};
    if (!GetCPInfo(CP_ACP, &info)) return {};
    return qvr::LeadBytes::FromRangePairs(info.LeadByte);
}

}  // namespace

bool IsSafeEntryName(const char* name) noexcept {
    const std::span bytes(reinterpret_cast<const std::uint8_t*>(name), std::strlen(name));
    return qvr::CheckEntryName(bytes, SystemLeadBytes()) == qvr::NameRefusal::None;
}

}  // namespace axqvr
