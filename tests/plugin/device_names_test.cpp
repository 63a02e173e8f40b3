// Disk output of an entry whose name the system takes for a device (NUL,
// CON, COM1 and their kin, with any extension, in any folder) would write
// the entry into that device instead of a file: to nowhere, to the host's
// console, to a port or a printer, while the host is told a file was
// written. Such names are refused like any other name that leaves the
// current directory.
#include "support.h"

namespace axqvr::test {
namespace {

TEST(HostileArchives, DeviceNamesAreNotWrittenToTheDevice) {
    CreateDirectoryA("device-names", nullptr);
    ASSERT_TRUE(SetCurrentDirectoryA("device-names"));
    CreateDirectoryA("sub", nullptr);
    const char* devices[] = {"NUL",      "nul.txt", "CON",     "con.tar.gz", "AUX",  "prn", "COM1",
                             "com9.dat", "LPT1",    "lpt3.x",  "CONIN$",     "conout$", "sub\\NUL",
                             "sub/aux.c", "NUL.",   "nul .txt", "COM\xB9",   "lpt\xB2"};
    for (const char* name : devices) {
        const Bytes archive = Build({{Text(name), Text("meant for a file, not a device")}});
        WriteFileBytes("devices.qvr", archive);
        for (const std::uint32_t kind : {0u, 1u}) {
            LocalHandle slot = Untouched();
            const char* source = kind == 0 ? "devices.qvr" : AsSource(archive.data());
            EXPECT_EQ(CallGetFile(source, 0, &slot, kind), ResultCode::Unsupported) << name;
            EXPECT_EQ(slot, Untouched()) << name;
        }
    }
    // Names that only begin like a device are plain files.
    const char* plain[] = {"console.txt", "nullify", "com10", "lpt", "auxiliary.bin", "sub\\prnt.txt", "CONOUT"};
    for (const char* name : plain) {
        const Bytes archive = Build({{Text(name), Text("a file")}});
        ReceivedBlock block;
        EXPECT_EQ(CallGetFile(AsSource(archive.data()), 0, block.Slot(), 1), ResultCode::Success) << name;
        EXPECT_EQ(ReadFileBytes(name), Text("a file")) << name;
        RemoveFile(name);
    }
    RemoveFile("devices.qvr");
    SetCurrentDirectoryA("..");
}

}  // namespace
}  // namespace axqvr::test
