// Entry names are bytes in the code page of the system that made the
// archive: UTF-8 when every name reads as UTF-8, otherwise most often
// Shift_JIS (CP932). TextDecoder does the decoding; a decoder pairs every
// lead byte with its trail byte, so a backslash in the decoded text is a
// 0x5C that starts a character, the separator in either encoding.

export const Encodings = Object.freeze({ utf8: 'utf-8', sjis: 'shift_jis' });

// Every readable entry's name as text, and the encoding chosen: `wanted`,
// or when that is null UTF-8 if every name reads as UTF-8, else Shift_JIS.
// A decoder turns every byte that is not UTF-8 into U+FFFD, so UTF-8 text
// without one needs no second, strict pass; with one, a strict pass says
// whether it was in the bytes.
export function decodeNames(archive, wanted) {
    if (wanted) return { names: decodeAs(archive, wanted), encoding: wanted };
    if (!archive.anyNameHasZero) {
        const text = new TextDecoder(Encodings.utf8, { ignoreBOM: true }).decode(archive.names);
        if (!text.includes('\ufffd')) return { names: split(text, archive) ?? decodeAs(archive, Encodings.utf8), encoding: Encodings.utf8 };
    }
    try {
        new TextDecoder(Encodings.utf8, { fatal: true, ignoreBOM: true }).decode(archive.names);
        return { names: decodeAs(archive, Encodings.utf8), encoding: Encodings.utf8 };
    } catch {
        return { names: decodeAs(archive, Encodings.sjis), encoding: Encodings.sjis };
    }
}

// The joined names cut at their joints, or null if that does not give one per entry.
function split(text, archive) {
    const parts = text.split('\0');
    parts.pop();  // after the last joint
    return parts.length === archive.readable ? parts : null;
}

// One decode of the joined names when no name holds a zero byte (the
// joint, which never continues a character in either encoding), one
// decode per name otherwise.
function decodeAs(archive, encoding) {
    const decoder = new TextDecoder(encoding, { ignoreBOM: true });
    if (!archive.anyNameHasZero) {
        const names = split(decoder.decode(archive.names), archive);
        if (names) return names;
    }
    const names = new Array(archive.readable);
    for (let i = 0; i < archive.readable; ++i) names[i] = decoder.decode(archive.nameBytes(i));
    return names;
}

export function hex(bytes) {
    let s = '';
    for (const b of bytes) s += b.toString(16).padStart(2, '0');
    return s;
}
