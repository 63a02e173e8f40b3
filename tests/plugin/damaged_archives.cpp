#include "damaged_archives.h"

#include <algorithm>
#include <set>

namespace axqvr::test {
namespace {

// Where the fields of one writer-made entry lie, counted from the archive's first byte.
struct EntryFields {
    std::size_t start = 0;
    std::size_t nameLength = 0;
    std::size_t sizeField = 0;
    std::size_t offsetField = 0;
    std::uint32_t dataSize = 0;
    std::uint32_t dataOffset = 0;
};

std::vector<EntryFields> FieldsOf(const Bytes& archive) {
    std::vector<EntryFields> fields;
    qvr::OpenedArchive opened;
    if (qvr::OpenArchiveImage(archive, opened) != qvr::OpenStatus::Success) return fields;
    auto cursor = opened.Begin();
    for (std::uint32_t i = 0; i < opened.header.entryCount; ++i) {
        const auto stored = qvr::PeekEntry(cursor);
        if (!stored) break;
        EntryFields f;
        f.start = qvr::HeaderSize + cursor.offset;
        f.nameLength = stored->nameLength;
        f.sizeField = f.start + qvr::EntryDataSizeOffset(f.nameLength);
        f.offsetField = f.start + qvr::EntryDataOffsetOffset(f.nameLength);
        f.dataSize = stored->dataSize;
        f.dataOffset = stored->dataOffset;
        fields.push_back(f);
        qvr::SkipEntry(cursor);
    }
    return fields;
}

class Generator {
public:
    explicit Generator(std::vector<DamagedArchive>& out) : out_(out) {}

    void Add(std::string what, Bytes bytes, std::optional<ResultCode> fileOpening = std::nullopt,
             std::optional<ResultCode> imageOpening = std::nullopt) {
        out_.push_back({std::move(what), std::move(bytes), fileOpening, imageOpening});
    }

    // Every way of damaging one writer-made archive.
    void DamageAll(const std::string& label, const Bytes& archive) {
        Add(label + ", whole", archive, ResultCode::Success, ResultCode::Success);
        const auto fields = FieldsOf(archive);
        Truncations(label, archive, fields);
        Counts(label, archive, fields.size());
        Magic(label, archive);
        for (std::size_t i = 0; i < fields.size(); ++i) EntryDamage(label, archive, fields, i);
    }

private:
    void Truncations(const std::string& label, const Bytes& archive, const std::vector<EntryFields>& fields) {
        std::set<std::size_t> cuts = {0, 1, 2, 3, 4, 5, 6, 31, 32, 33, 34, 35, 36};
        for (const auto& f : fields) {
            for (const std::size_t at : {f.start, f.start + qvr::EntryNameLengthOffset, f.start + qvr::EntryNameOffset,
                                         f.start + qvr::EntryNameOffset + f.nameLength / 2, f.sizeField,
                                         f.sizeField + 2, f.offsetField, f.offsetField + 3,
                                         f.start + qvr::EntrySize(f.nameLength)})
                cuts.insert(at);
            const std::size_t data = f.dataOffset;
            for (const std::size_t at : {data, data + 1, data + 49, data + 50, data + 51})
                if (at < std::size_t{data} + f.dataSize) cuts.insert(at);
            if (f.dataSize > 0) cuts.insert(data + f.dataSize - 1);
        }
        if (!archive.empty()) cuts.insert(archive.size() - 1);
        for (const std::size_t at : cuts) {
            if (at >= archive.size()) continue;
            // A head cut before the entry count is no archive.
            const auto opening = at < qvr::HeaderSize ? std::optional(ResultCode::UnrecognisedFormat) : std::nullopt;
            Add(label + ", cut to " + std::to_string(at) + " bytes",
                Bytes(archive.begin(), archive.begin() + static_cast<std::ptrdiff_t>(at)), opening, opening);
        }
    }

    void Counts(const std::string& label, const Bytes& archive, std::size_t real) {
        if (archive.size() < qvr::HeaderSize) return;
        for (const std::uint32_t count : {0u, 1u, 2u, static_cast<std::uint32_t>(real) + 1,
                                          static_cast<std::uint32_t>(real) + 2, 0x7FFFu, 0x8000u, 0xFFFFu}) {
            if (count == real) continue;
            Bytes b = archive;
            qvr::StoreU16(std::span(b).subspan(qvr::EntryCountOffset).first<2>(), static_cast<std::uint16_t>(count));
            Add(label + ", entry count " + std::to_string(count), std::move(b));
        }
    }

    void Magic(const std::string& label, const Bytes& archive) {
        if (archive.size() < qvr::MagicSize) return;
        for (std::size_t i = 0; i < qvr::MagicSize; ++i) {
            Bytes b = archive;
            b[i] = i < 4 ? static_cast<std::uint8_t>(b[i] ^ 0x20) : std::uint8_t{'!'};
            Add(label + ", magic byte " + std::to_string(i) + " changed", std::move(b), ResultCode::UnrecognisedFormat,
                ResultCode::UnrecognisedFormat);
        }
    }

    void EntryDamage(const std::string& label, const Bytes& archive, const std::vector<EntryFields>& fields,
                     std::size_t i) {
        const EntryFields& f = fields[i];
        const std::string entry = label + ", entry " + std::to_string(i);
        const std::size_t directoryEnd = fields.front().dataOffset;
        const auto total = static_cast<std::uint32_t>(archive.size());

        std::set<std::size_t> lengths = {0, 1, 255};
        if (f.nameLength > 0) lengths.insert(f.nameLength - 1);
        lengths.insert(std::min<std::size_t>(f.nameLength + 1, 255));
        // The entry then ends one byte past the directory.
        if (directoryEnd + 1 > f.start + qvr::EntryFixedSize) {
            const std::size_t past = directoryEnd + 1 - f.start - qvr::EntryFixedSize;
            if (past <= 255) lengths.insert(past);
        }
        for (const std::size_t length : lengths) {
            if (length == f.nameLength) continue;
            Bytes b = archive;
            b[f.start + qvr::EntryNameLengthOffset] = static_cast<std::uint8_t>(length);
            Add(entry + " name length " + std::to_string(length), std::move(b));
        }

        const std::uint32_t toEnd = total - std::min(total, f.dataOffset);
        for (const std::uint32_t size : {0u, 1u, f.dataSize + 1, toEnd, toEnd + 1, 0x7FFFFFFFu, 0x80000000u,
                                         0xFFFFFFFFu}) {
            if (size == f.dataSize) continue;
            Bytes b = archive;
            qvr::StoreU32(std::span(b).subspan(f.sizeField).first<qvr::EntryDataSizeSize>(), size);
            Add(entry + " data size " + std::to_string(size), std::move(b));
        }

        const auto dirEnd = static_cast<std::uint32_t>(directoryEnd);
        for (const std::uint32_t offset : {0u, 1u, 33u, 34u, dirEnd - 1, total, total + 1 - f.dataSize, total - 1,
                                           0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu}) {
            if (offset == f.dataOffset) continue;
            Bytes b = archive;
            qvr::StoreU32(std::span(b).subspan(f.offsetField).first<qvr::EntryDataOffsetSize>(), offset);
            // The first entry's data offset sets a file's directory extent;
            // inside the header it leaves no directory to read.
            const auto opening = i == 0 && offset < qvr::HeaderSize ? std::optional(ResultCode::MemoryError) : std::nullopt;
            Add(entry + " data offset " + std::to_string(offset), std::move(b), opening);
        }
    }

    std::vector<DamagedArchive>& out_;
};

// Plain bytes that read as `plain` once the name descrambling has run
// over them: a name whose stored bytes are exactly `stored`.
Bytes NameStoredAs(std::string_view stored) {
    Bytes name(stored.begin(), stored.end());
    qvr::DescrambleName(name);
    return name;
}

}  // namespace

std::vector<std::string> DangerousNames() {
    std::vector<std::string> names = {
        "\\qvr-escape-1",
        "/qvr-escape-2",
        "C:qvr-escape-3",
        "C:\\qvr-escape-4",
        "c:/qvr-escape-5",
        "Z:\\qvr-escape-6",
        "\\\\server\\share\\qvr-escape-7",
        "//server/share/qvr-escape-8",
        "\\\\?\\C:\\qvr-escape-9",
        "\\\\.\\C:\\qvr-escape-10",
        "qvr-escape-11:stream",
        "qvr-escape-12::$DATA",
        "sub\\qvr-escape-13:x",
        "..\\qvr-escape-14",
        "../qvr-escape-15",
        "sub\\..\\..\\qvr-escape-16",
        "sub/../../qvr-escape-17",
        "sub\\../..\\qvr-escape-18",
        "..",
        "../",
        "...\\qvr-escape-21",
        ".. \\qvr-escape-22",
        "..\\..\\..\\..\\..\\..\\..\\..\\..\\..\\qvr-escape-23",
        "sub\\..",
        "sub/..\\..",
        "sub\\.. .\\..\\qvr-escape-26",
        "\\..\\qvr-escape-27",
    };
    // Cut to the 199 bytes a record holds, what remains still climbs out.
    names.push_back("..\\" + std::string(196, 'x'));
    // Devices: written to, they are no file in the current directory.
    for (const char* device : {"NUL", "con.txt", "sub\\COM1", "lpt2.bin", "Aux", "CONOUT$"}) names.push_back(device);
    return names;
}

std::vector<DamagedArchive> DamagedArchives() {
    std::vector<DamagedArchive> all;
    Generator g(all);

    // Names, sizes and places a reader must get right even undamaged: an
    // empty name, a folder, sizes around the 50 scrambled bytes, an empty
    // entry, a name that fills a record.
    const Bytes varied = Build({
        {Text("readme.txt"), Text("A short plain text.")},
        {{}, Pattern(1, 3)},
        {Text("exactly50.bin"), Pattern(50, 7)},
        {Text("sub\\inner.txt"), Pattern(51, 11)},
        {Text("Mixed.Case"), Pattern(300, 13)},
        {Text("empty"), {}},
        {Bytes(199, 'n'), Pattern(49, 17)},
    });
    g.DamageAll("varied", varied);
    g.DamageAll("single", Build({{Text("one.txt"), Pattern(120, 21)}}));
    g.DamageAll("no entries", Build({}));
    // Two entries with 5- and 7-byte names: a 32-byte directory, data from byte 66.
    g.DamageAll("two", Build({{Text("first"), Pattern(60, 31)}, {Text("second."), Pattern(7, 37)}}));

    // Each dangerous name alone, and all of them behind a plain entry.
    const auto dangerous = DangerousNames();
    std::vector<qvr::WriterEntry> escapes = {{Text("plain.txt"), Text("stays here")}};
    for (std::size_t i = 0; i < dangerous.size(); ++i) {
        const Bytes content = Text("must not leave the current directory");
        g.Add("dangerous name " + dangerous[i], Build({{Text(dangerous[i]), content}}));
        escapes.push_back({Text(dangerous[i]), content});
    }
    const Bytes allEscapes = Build(escapes);
    g.Add("every dangerous name", allEscapes);
    // A zero byte ends the name a record holds: what follows it never counts.
    Bytes hidden = Text("hidden.txt");
    hidden.push_back(0);
    const Bytes tail = Text("\\..\\..\\qvr-escape-40");
    hidden.insert(hidden.end(), tail.begin(), tail.end());
    g.Add("escape after a zero byte", Build({{hidden, Text("hidden")}}));
    // Garbled lengths turn the neighbours of a dangerous name into its name.
    for (std::size_t i = 1; i < 4; ++i) {
        Bytes b = allEscapes;
        const auto fields = FieldsOf(allEscapes);
        b[fields[i].start + qvr::EntryNameLengthOffset] = static_cast<std::uint8_t>(fields[i].nameLength + 10);
        g.Add("every dangerous name, entry " + std::to_string(i) + " name 10 bytes longer", std::move(b));
    }

    // "QVR" where the memory search meets it before the image's first byte:
    // in a stored name, in plain content, and a whole archive inside an entry.
    Bytes nested(200, 'c');
    const Bytes inner = Build({{Text("inner.txt"), Text("inner content")}});
    std::copy(inner.begin(), inner.end(), nested.begin() + 60);
    g.DamageAll("QVR in stored names", Build({{NameStoredAs("QVR"), Text("a")}, {NameStoredAs("xQVRd"), Text("b")},
                                        {Text("after"), Text("c")}}));
    g.Add("archive inside an entry", Build({{Text("outer.bin"), nested}, {Text("second"), Text("2")}}));
    Bytes letters(120, 'q');
    std::copy_n("QVR", 3, letters.begin() + 55);
    g.Add("QVR in content", Build({{Text("a"), letters}, {Text("b"), letters}, {Text("c"), Text("3")}}));
    return all;
}

}  // namespace axqvr::test
