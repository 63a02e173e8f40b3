// The two small exports, and the calling convention of all five.
#include <array>
#include <cstring>
#include <string>

#include "support.h"

namespace axqvr::test {
namespace {

std::string Info(std::int32_t infoNo, std::int32_t bufLen, std::int32_t& returned) {
    std::array<char, 300> buf;
    buf.fill('#');
    returned = CallGetPluginInfo(infoNo, buf.data(), bufLen);
    return std::string(buf.data(), strnlen(buf.data(), buf.size()));
}

TEST(GetPluginInfo, ServesTheFourTextsWhole) {
    std::int32_t n = -1;
    EXPECT_EQ(Info(0, 256, n), "00AM");
    EXPECT_EQ(n, 4);
    const std::string description = Info(1, 256, n);
    EXPECT_EQ(description.rfind("QVR extract library ver.0.01", 0), 0u) << description;
    EXPECT_GT(description.size(), 28u);  // a credit follows
    EXPECT_EQ(n, static_cast<std::int32_t>(description.size()));
    EXPECT_EQ(Info(2, 256, n), "*.QVR");
    EXPECT_EQ(n, 5);
    EXPECT_EQ(Info(3, 256, n), "VELMORA \"QVR\" Data Packed File(*.QVR)");
    EXPECT_EQ(n, 37);
}

TEST(GetPluginInfo, CutsTheTextToTheBuffer) {
    std::int32_t n = -1;
    EXPECT_EQ(Info(0, 5, n), "00AM");
    EXPECT_EQ(n, 4);
    EXPECT_EQ(Info(0, 4, n), "00A");
    EXPECT_EQ(n, 3);
    EXPECT_EQ(Info(0, 1, n), "");
    EXPECT_EQ(n, 0);
    EXPECT_EQ(Info(2, 3, n), "*.");
    EXPECT_EQ(n, 2);
}

TEST(GetPluginInfo, WritesNothingForABadIndexOrNoRoom) {
    for (const auto& [infoNo, bufLen] : {std::pair{4, 256}, std::pair{-1, 256}, std::pair{0x7FFFFFFF, 256},
                                        std::pair{0, 0}, std::pair{1, -5}}) {
        std::array<char, 8> buf;
        buf.fill('#');
        EXPECT_EQ(CallGetPluginInfo(infoNo, buf.data(), bufLen), 0) << infoNo << " " << bufLen;
        EXPECT_EQ(std::string(buf.data(), buf.size()), "########") << infoNo << " " << bufLen;
    }
}

// A file open for reading, positioned `skip` bytes in.
class OpenFile {
public:
    OpenFile(const std::string& path, std::span<const std::uint8_t> bytes, LONG skip = 0) {
        WriteFileBytes(path, bytes);
        handle_ = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        EXPECT_NE(handle_, INVALID_HANDLE_VALUE);
        SetFilePointer(handle_, skip, nullptr, FILE_BEGIN);
    }
    ~OpenFile() { CloseHandle(handle_); }
    std::uintptr_t Candidate() const { return reinterpret_cast<std::uintptr_t>(handle_); }
    DWORD Position() const { return SetFilePointer(handle_, 0, nullptr, FILE_CURRENT); }

private:
    HANDLE handle_ = INVALID_HANDLE_VALUE;
};

TEST(IsSupported, ReadsAHandleFromWhereItStands) {
    const Bytes archive = Build(VariedEntries());
    ASSERT_GT(archive.size(), 2048u + 10);
    {
        OpenFile file("probe.qvr", archive);
        EXPECT_EQ(CallIsSupported("probe.qvr", file.Candidate()), 1);
        EXPECT_EQ(file.Position(), 2048u);  // moved by the read, not restored
    }
    {
        OpenFile file("probe.qvr", archive, 1);
        EXPECT_EQ(CallIsSupported("probe.qvr", file.Candidate()), 0);
    }
    Bytes shifted(7, 'x');
    shifted.insert(shifted.end(), archive.begin(), archive.begin() + 100);
    {
        OpenFile file("probe.qvr", shifted, 7);
        EXPECT_EQ(CallIsSupported(nullptr, file.Candidate()), 1);
        EXPECT_EQ(file.Position(), shifted.size());  // the file ended first
    }
}

TEST(IsSupported, NeedsAllFiveMagicBytes) {
    const std::pair<Bytes, int> cases[] = {
        {Bytes{'Q', 'V', 'R', 'd', 0}, 1},         // nothing but the magic
        {Bytes{'Q', 'V', 'R', 'd', 0, 'x'}, 1},
        {Bytes{'Q', 'V', 'R', 'd'}, 0},            // fewer than five bytes
        {Bytes{'Q', 'V', 'R', 'd', 1}, 0},
        {Bytes{'q', 'v', 'r', 'd', 0}, 0},
        {Bytes{'Q', 'V', 'R', 'D', 0}, 0},
        {Bytes{}, 0},
    };
    for (const auto& [bytes, expected] : cases) {
        OpenFile file("probe.bin", bytes);
        EXPECT_EQ(CallIsSupported("probe.bin", file.Candidate()), expected) << bytes.size();
        Bytes memory = bytes;
        memory.resize(2048, 0xEE);  // an address is taken as 2048 bytes
        EXPECT_EQ(CallIsSupported("probe.bin", reinterpret_cast<std::uintptr_t>(memory.data())), expected)
            << bytes.size();
    }
}

TEST(IsSupported, AHandleThatCannotBeReadIsNotAnArchive) {
    WriteFileBytes("probe.qvr", Bytes{'Q', 'V', 'R', 'd', 0});
    HANDLE writeOnly =
        CreateFileA("probe.qvr", GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(writeOnly, INVALID_HANDLE_VALUE);
    EXPECT_EQ(CallIsSupported("probe.qvr", reinterpret_cast<std::uintptr_t>(writeOnly)), 0);
    CloseHandle(writeOnly);
    EXPECT_EQ(CallIsSupported("none", 0xFFFF), 0);  // below 0x10000: a handle, and not a valid one
}

TEST(IsSupported, AnAddressIsReadOnlyWhereMemoryExists) {
    GuardedMemory memory(1, 1);
    // The magic's first four bytes end the readable memory: not an archive, and no fault.
    EXPECT_EQ(CallIsSupported("m", reinterpret_cast<std::uintptr_t>(memory.PlaceAtEnd(Text("QVRd")))), 0);
    // Five bytes at the very end are enough, although the probe's usual look is 2048 bytes.
    EXPECT_EQ(CallIsSupported("m", reinterpret_cast<std::uintptr_t>(memory.PlaceAtEnd(Bytes{'Q', 'V', 'R', 'd', 0}))),
              1);
    EXPECT_EQ(CallIsSupported("m", reinterpret_cast<std::uintptr_t>(memory.End())), 0);
    EXPECT_EQ(CallIsSupported("m", 0x10000), 0);  // an address: nothing is mapped there
}

#if defined(__i386__)
TEST(CallingConvention, TheStackCheckNoticesAWrongArgumentCount) {
    // Pushing a fourth argument to a three-argument export leaves 4 bytes behind.
    char buf[8] = {};
    const std::uint32_t args[] = {0, static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(buf)), 8, 0};
    std::int32_t offset = 0;
    EXPECT_EQ(CallMeasuringStack(ExportAddress("GetPluginInfo"), args, 4, offset), 4u);
    EXPECT_EQ(offset, -4);
    EXPECT_EQ(CallMeasuringStack(ExportAddress("GetPluginInfo"), args, 3, offset), 4u);
    EXPECT_EQ(offset, 0);
}
#endif

}  // namespace
}  // namespace axqvr::test
