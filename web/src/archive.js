// An archive as the page sees it. archive/, compiled to WebAssembly, decides
// which bytes an opening needs, walks the directory, bounds every entry by
// the file's real size, judges structure and names, and descrambles; this
// module only reads slices of the file (never all of it, source.js) and
// hands them over.
import createCore from 'qvr-core';
import wasmBase64 from 'qvr-core-wasm';
import { blobSource } from './source.js';

let corePromise = null;
// Compiles the core; the page starts this on load so that the first opening need not wait for it.
export function core() {
    corePromise ??= createCore({ wasmBinary: Uint8Array.from(atob(wasmBase64), (c) => c.charCodeAt(0)) });
    return corePromise;
}

// The first read: the header, and the whole directory of an archive of a
// few hundred entries. A larger archive's directory is read to exactly
// where the core says it ends, in as few slices as the source allows, each
// handed to the core as it comes.
const FirstRead = 16 << 10;
// An opening that still misses bytes after this many slices is given up
// (each slice grows what is held, so only a file that changes gets here).
const MaxOpeningReads = 8;

// As web/core/binding.cpp numbers them.
export const OpenResult = Object.freeze({ Opened: 0, NotAnArchive: 1, NoDirectory: 2, OutOfMemory: 3, NeedsMoreBytes: 4, Unreadable: 5 });
const RowField = Object.freeze({ NameStart: 0, NameLength: 1, DataSize: 2, DataOffset: 3, Flags: 4 });
const RowFlag = Object.freeze({ DataCutShort: 1, NameHasZero: 2, DataInsideDirectory: 4, DataOverlap: 8 });
// qvr::StructureFault, in the binding's order.
export const Fault = Object.freeze({ FirstEntryCut: 0, DirectoryPastEnd: 1, DirectoryCutShort: 2, DataPastEnd: 3, DataInsideDirectory: 4, DataOverlap: 5 });
const FindingWords = 5;

// Neighbouring entries are read in one slice of at most this many bytes,
// over gaps of at most ChunkGap; an entry larger than ChunkEntry is read alone, as a Blob.
const ChunkBytes = 4 << 20;
const ChunkGap = 64 << 10;
const ChunkEntry = 1 << 20;

// Runs `fn(pointer, length)` over a copy of `bytes` in the core's memory.
function withCopy(m, bytes, fn) {
    const p = m._malloc(Math.max(1, bytes.length));
    if (!p) throw new Error('out of memory');
    try {
        m.HEAPU8.set(bytes, p);
        return fn(p, bytes.length);
    } finally {
        m._free(p);
    }
}

// The top folder's grouping, copied out of the core's memory into one array
// kept for every opening: a fresh array of half a megabyte per opening cost
// the page more than the copy itself. The top folder of the archive open
// now is the only one that holds parts of it (an opening groups its top
// folder only once the archive it replaces is closed).
let topWords = new Uint32Array(0);

export class Archive {
    constructor(m, session, source, fileName) {
        this.m = m;
        this.session = session;
        this.source = source;
        this.fileSize = source.size;
        this.fileName = fileName;
        this.scratch = m._malloc(3 * 8);
        this.entryCount = m._qvr_entry_count(session);
        this.readable = m._qvr_readable(session);
        this.directorySize = m._qvr_directory_size(session);
        this.rowWords = m._qvr_row_words();
        this.anyNameHasZero = Boolean(m._qvr_any_name_has_zero(session));
        this.allNamesUtf8 = Boolean(m._qvr_all_names_utf8(session));
        this.views();
        this.cutShort = m._qvr_cut_short(session);
    }

    // The rows and joined names, viewed where the core keeps them; the
    // views are made again whenever the core's memory has grown.
    views() {
        const m = this.m;
        this.buffer = m.HEAPU8.buffer;
        this.rowView = new Uint32Array(this.buffer, m._qvr_rows(this.session), this.readable * this.rowWords);
        this.nameView = new Uint8Array(this.buffer, m._qvr_names(this.session), m._qvr_names_size(this.session));
    }
    get rows() {
        if (this.buffer !== this.m.HEAPU8.buffer) this.views();
        return this.rowView;
    }
    get names() {
        if (this.buffer !== this.m.HEAPU8.buffer) this.views();
        return this.nameView;
    }

    row(i, field) { return this.rows[i * this.rowWords + field]; }
    size(i) { return this.row(i, RowField.DataSize); }
    offset(i) { return this.row(i, RowField.DataOffset); }
    flags(i) { return this.row(i, RowField.Flags); }
    isCutShort(i) { return (this.flags(i) & RowFlag.DataCutShort) !== 0; }
    liesInsideDirectory(i) { return (this.flags(i) & RowFlag.DataInsideDirectory) !== 0; }
    overlaps(i) { return (this.flags(i) & RowFlag.DataOverlap) !== 0; }
    nameBytes(i) {
        const start = this.row(i, RowField.NameStart);
        return this.names.subarray(start, start + this.row(i, RowField.NameLength));
    }
    // True when the walk stopped before the header's entry count.
    get directoryCutShort() { return this.readable < this.entryCount; }

    // Where entry i's data lie and how much of them the file holds.
    extent(i) {
        if (!this.session) return null;  // closed: another archive is open
        const m = this.m;
        if (!m._qvr_entry_extent(this.session, i, this.scratch)) return null;
        const v = new Float64Array(m.HEAPU8.buffer, this.scratch, 3);
        return { offset: v[0], present: v[1], scrambled: v[2] };
    }

    // The archive library's structural findings: { fault, index, other, begin, end }.
    findings() {
        const m = this.m;
        const n = m._qvr_finding_count(this.session);
        const v = new Float64Array(m.HEAPU8.buffer, m._qvr_findings(this.session), n * FindingWords);
        return Array.from({ length: n }, (_, k) => {
            const [fault, index, other, begin, end] = v.subarray(k * FindingWords, (k + 1) * FindingWords);
            return { fault, index, other, begin, end };
        });
    }

    // For every readable entry, why the archive library's name rule (the
    // one qvr extract writes by) refuses its name: 0 for none; `codePage`
    // says where characters start (932 for Shift_JIS).
    refusals(codePage) {
        const m = this.m;
        const p = m._qvr_name_refusals(this.session, codePage);
        if (!p) throw new Error('out of memory');
        return m.HEAPU8.slice(p, p + this.readable);
    }

    // A refusal in the words qvr test uses.
    describeRefusal(code) {
        const m = this.m;
        const p = m._qvr_describe_refusal(code);
        return new TextDecoder().decode(m.HEAPU8.subarray(p, m.HEAPU8.indexOf(0, p)));
    }

    // Descrambles the first `n` bytes of `bytes` (an entry's first bytes) in place.
    descramble(bytes, n) {
        if (n <= 0) return;
        withCopy(this.m, bytes.subarray(0, n), (p, len) => {
            this.m._qvr_descramble(p, len);
            bytes.set(this.m.HEAPU8.subarray(p, p + len));
        });
    }

    // Yields [index, data] for each of `indexes` in their order: small
    // neighbours read in one slice (as bytes), a large entry as a Blob of
    // the file, so that thousands of small entries cost a few reads.
    async *entries(indexes) {
        for (let k = 0; k < indexes.length;) {
            const first = this.extent(indexes[k]);
            if (!first || first.present > ChunkEntry) {
                yield [indexes[k], await this.data(indexes[k])];
                ++k;
                continue;
            }
            // The run of following entries that lie close after one another.
            const run = [[indexes[k], first]];
            let end = first.offset + first.present;
            for (let j = k + 1; j < indexes.length; ++j) {
                const e = this.extent(indexes[j]);
                if (!e || e.present > ChunkEntry || e.offset < end || e.offset - end > ChunkGap || e.offset + e.present - first.offset > ChunkBytes) break;
                run.push([indexes[j], e]);
                end = e.offset + e.present;
            }
            // The run's entries do not overlap, so each is descrambled in place,
            // all of them in one visit to the core's memory.
            const slice = await this.source.read(first.offset, end);
            withCopy(this.m, slice, (p) => {
                for (const [, e] of run) this.m._qvr_descramble(p + e.offset - first.offset, Math.min(e.present, e.scrambled));
                slice.set(this.m.HEAPU8.subarray(p, p + slice.length));
            });
            for (const [i, e] of run) yield [i, slice.subarray(e.offset - first.offset, e.offset - first.offset + e.present)];
            k += run.length;
        }
    }

    // The first `limit` bytes of entry i's data (or fewer, if it holds fewer), descrambled.
    async head(i, limit) {
        const e = this.extent(i);
        if (!e) return new Uint8Array(0);
        const bytes = await this.source.read(e.offset, e.offset + Math.min(limit, e.present));
        this.descramble(bytes, Math.min(bytes.length, e.scrambled));
        return bytes;
    }

    // Entry i's data as a Blob: the descrambled leading bytes, then a slice
    // of the file itself, so the page never holds the data.
    async data(i, type = '') {
        const e = this.extent(i);
        if (!e) return new Blob([], { type });
        const lead = await this.head(i, e.scrambled);
        return new Blob([lead, await this.source.part(e.offset + e.scrambled, e.offset + e.present)], { type });
    }

    // The files and subfolders of a folder whose entries are `entries`, the
    // rest of each name starting at byte `from[k]` (null for both: every
    // entry, from its first byte); `codePage` says where characters start
    // (932 for Shift_JIS). Folder names come as bytes.
    group(entries, from, codePage) {
        const m = this.m;
        const n = entries ? entries.length : 0;
        const p = entries ? m._malloc(Math.max(1, n) * 8) : 0;
        if (entries && !p) throw new Error('out of memory');
        try {
            if (entries) {
                new Uint32Array(m.HEAPU8.buffer, p, n).set(entries);
                new Uint32Array(m.HEAPU8.buffer, p + n * 4, n).set(from);
            }
            const at = m._qvr_group(this.session, codePage, p, p + n * 4, n);
            const view = new Uint32Array(m.HEAPU8.buffer, at, m._qvr_grouped_size(this.session));
            let w;
            if (entries) w = view.slice();
            else {
                if (topWords.length < view.length) topWords = new Uint32Array(view.length);
                w = topWords.subarray(0, view.length);
                w.set(view);
            }
            let k = 0;
            const fileCount = w[k++];
            const files = w.subarray(k, (k += fileCount));
            const folders = [];
            for (let g = w[k++]; g > 0; --g) {
                const keyStart = w[k], keyLength = w[k + 1], count = w[k + 2];
                k += 3;
                folders.push({ key: this.names.slice(keyStart, keyStart + keyLength), entries: w.subarray(k, (k += count)), from: w.subarray(k, (k += count)) });
            }
            return { files, folders };
        } finally {
            if (p) m._free(p);
        }
    }

    close() {
        if (this.session) {
            this.m._qvr_close(this.session);
            this.m._free(this.scratch);
        }
        this.session = 0;
    }
}

// Hands the archive's first bytes and then its directory to the core's
// session until an opening no longer misses any: the OpenResult. Slices go
// out before the ones ahead of them have come (the source's `readAhead`
// says how far past the first read to guess), and are handed over in
// order, piece by piece as they come: the core walks what has come while
// the rest is on its way, so that when the last piece is in, only that
// piece's entries and the structural check are left.
async function readOpening(m, session, source) {
    const slices = [];  // asked for, not yet handed over, in order
    let asked = 0;
    const ask = (end) => {
        end = Math.min(end, source.size);
        if (end <= asked) return;
        slices.push({ length: end - asked, pieces: source.pieces(asked, end) });
        asked = end;
    };
    const forget = () => {
        for (const slice of slices.splice(0)) slice.pieces.return();
    };
    ask(FirstRead);
    ask(FirstRead + (source.readAhead ?? 0));
    // An empty file is still the core's to judge.
    if (!slices.length) return m._qvr_open(session);
    let have = 0;
    let wanted = Infinity;
    let result = OpenResult.Unreadable;
    try {
        for (let reads = 1; reads <= MaxOpeningReads && slices.length; ++reads) {
            const slice = slices.shift();
            let got = 0;
            for await (let piece of slice.pieces) {
                got += piece.length;
                // A piece may hold the head and what it says to read next:
                // the core learns where the directory ends, then takes the
                // rest of the piece up to there.
                while (piece.length) {
                    const take = Math.min(piece.length, wanted - have);
                    const p = m._qvr_prefix(session, have + take);
                    if (!p) return OpenResult.OutOfMemory;
                    m.HEAPU8.set(piece.subarray(0, take), p + have);
                    have += take;
                    result = m._qvr_open(session);
                    // Bytes past where the directory ends are not the core's.
                    if (result !== OpenResult.NeedsMoreBytes) return result;
                    wanted = m._qvr_wanted_end(session);
                    piece = piece.subarray(take);
                }
                ask(wanted);
            }
            if (got === 0 && slice.length > 0) break;
            if (got < slice.length) {
                // Short: what was asked after it is read again from where it stopped.
                forget();
                asked = have;
                ask(wanted);
            }
        }
        return result;
    } finally {
        forget();
    }
}

// Opens `file` (a Blob, or a source from source.js) as an archive:
// { result, archive } with an Archive only when Opened.
export async function openArchive(file, fileName = file.name ?? '') {
    const source = file instanceof Blob ? blobSource(file) : file;
    const m = await core();
    const session = m._qvr_session(source.size);
    if (!session) return { result: OpenResult.OutOfMemory };
    let result;
    try {
        result = await readOpening(m, session, source);
    } catch (e) {
        console.error(e);
        result = OpenResult.Unreadable;
    }
    if (result === OpenResult.NeedsMoreBytes) result = OpenResult.Unreadable;
    if (result !== OpenResult.Opened) {
        m._qvr_close(session);
        return { result };
    }
    return { result, archive: new Archive(m, session, source, fileName) };
}
