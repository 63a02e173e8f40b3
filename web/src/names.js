// Entry names are bytes in the code page of the system that made the
// archive: UTF-8 when every name reads as UTF-8, otherwise most often
// Shift_JIS (CP932). TextDecoder does the decoding; a decoder pairs every
// lead byte with its trail byte, so a backslash in the decoded text is a
// 0x5C that starts a character, the separator in either encoding.

export const Encodings = Object.freeze({ utf8: 'utf-8', sjis: 'shift_jis' });

// The encoding names are read in unless one is chosen: UTF-8 when every
// name (all its stored bytes) is valid UTF-8, else Shift_JIS.
export function automaticEncoding(archive) {
    return archive.allNamesUtf8 ? Encodings.utf8 : Encodings.sjis;
}

// Every readable entry's name as text: one decode of the joined names when
// no name holds a zero byte (the joint, which never continues a character
// in either encoding), one decode per name otherwise.
export function decodeNames(archive, encoding) {
    const decoder = new TextDecoder(encoding, { ignoreBOM: true });
    if (!archive.anyNameHasZero) {
        const parts = decoder.decode(archive.names).split('\0');
        parts.pop();  // after the last joint
        if (parts.length === archive.readable) return parts;
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

// Characters that change how a name looks without being seen: C0 and C1
// controls, DEL, the bidirectional marks, embeddings, overrides and
// isolates (U+202E turns "gnp.exe" into "exe.png"), line and paragraph
// separators, zero-width joiners and the byte order mark.
const Invisible = /[\u0000-\u001f\u007f-\u009f\u061c\u200b-\u200f\u2028-\u202e\u2060-\u2069\ufeff]/gu;
const utf8 = new TextEncoder();

// Whether a name holds any such character.
export function looksOtherwise(name) {
    return name.search(Invisible) >= 0;
}

// A name as it may be shown or saved: each such character becomes visible
// \xNN escapes of its UTF-8 bytes, as `qvr list` writes control bytes to a terminal.
export function escapeName(name) {
    return name.replace(Invisible, (c) => Array.from(utf8.encode(c), (b) => '\\x' + b.toString(16).toUpperCase().padStart(2, '0')).join(''));
}
