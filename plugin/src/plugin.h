// The plug-in's own operations behind the five exports. Each returns what
// its export returns; none lets an exception out (the exports catch).
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "axqvr/contract.h"
#include "qvr/directory.h"

namespace axqvr {

// GetPluginInfo: copies text `infoNo` of the InfoStringTable, cut to fit.
std::int32_t CopyInfoString(std::int32_t infoNo, char* buf, std::int32_t bufLen) noexcept;

// IsSupported: 1 when the candidate (a handle below 0x10000, else an
// address) begins with the archive magic.
std::int32_t ProbeCandidate(std::uintptr_t candidate) noexcept;

ResultCode ListArchive(const char* source, std::int32_t length, std::uint32_t flags,
                       LocalHandle* listingHandleOut);
ResultCode LookUpEntry(const char* source, std::int32_t length, const char* entryName, std::uint32_t flags,
                       FileInfoRecord* record);
ResultCode ExtractEntry(const char* source, std::int32_t length, LocalHandle* dest, std::uint32_t flags);

// What a record held before BuildRecord writes it.
enum class RecordState {
    ZeroFilled,  // a fresh listing block: its zero fields are zero already
    Reused,      // the host's own record: every field the host reads is written
};

// Writes the record that describes the stored entry `stored` with the given
// `position`: "QVRd" and a zero in methodTag, both sizes, the descrambled
// name (at most 199 bytes and a zero), and zero timestamp, path and crc.
// Bytes 5-7 of methodTag and bytes 1-199 of path are never written.
void BuildRecord(const qvr::DirectoryEntry& stored, std::uint32_t position, RecordState state,
                 FileInfoRecord& record) noexcept;

// An entry's name as a record holds it: at most 199 bytes and a zero.
using EntryName = std::array<char, FileNameSize>;
EntryName RecordName(const qvr::Entry& entry) noexcept;

// Compares a record's name with a host's name, both zero-terminated;
// with `ignoreCase`, 'A'-'Z' match 'a'-'z' and nothing else is folded.
bool NamesEqual(const char* recordName, const char* wanted, bool ignoreCase) noexcept;

}  // namespace axqvr
