// Entry names are bytes in the code page of the system that made the
// archive: UTF-8 when every name reads as UTF-8, otherwise most often
// Shift_JIS (CP932). TextDecoder does the decoding; a decoder pairs every
// lead byte with its trail byte, so a backslash in the decoded text is a
// 0x5C that starts a character, the separator in either encoding.

export const Encodings = Object.freeze({ utf8: 'utf-8', sjis: 'shift_jis' });

// True when every name (all stored bytes) is valid UTF-8. The names come
// joined by zero bytes, which never continue a UTF-8 sequence, so one pass
// over the whole buffer answers for each name.
export function allUtf8(archive) {
    try {
        new TextDecoder('utf-8', { fatal: true, ignoreBOM: true }).decode(archive.names);
        return true;
    } catch {
        return false;
    }
}

export function chooseEncoding(archive) {
    return allUtf8(archive) ? Encodings.utf8 : Encodings.sjis;
}

// Every readable entry's name as text. One decode of the joined names when
// no name holds a zero byte (the joint), one decode per name otherwise.
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

// The folders and file name a name stands for: split at either separator,
// without empty and "." components. A name with nothing left is its own
// file name, so no entry disappears from the tree.
export function components(name) {
    const parts = name.split(/[\\/]/).filter((p) => p !== '' && p !== '.');
    return parts.length ? parts : [name];
}

export function hex(bytes) {
    let s = '';
    for (const b of bytes) s += b.toString(16).padStart(2, '0');
    return s;
}
