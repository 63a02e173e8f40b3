// A .zip of stored (uncompressed) files, written as a list of parts for
// one Blob: headers made here, data as the bytes or file slices they
// already are, so the page never copies an entry's data. Names are UTF-8
// (flag bit 11); offsets past 4 GiB get zip64 records. Every file's CRC-32
// is known before its header is written, so no data descriptors.

const Stored = 0;
const Utf8Names = 0x0800;
const Zip64Needed = 45;
const PlainNeeded = 20;
const Max32 = 0xffffffff;

const crcTable = (() => {
    const t = new Uint32Array(256);
    for (let n = 0; n < 256; ++n) {
        let c = n;
        for (let k = 0; k < 8; ++k) c = c & 1 ? 0xedb88320 ^ (c >>> 1) : c >>> 1;
        t[n] = c >>> 0;
    }
    return t;
})();

export function crc32(bytes, crc = 0) {
    let c = ~crc;
    for (let i = 0; i < bytes.length; ++i) c = crcTable[(c ^ bytes[i]) & 0xff] ^ (c >>> 8);
    return ~c >>> 0;
}

async function crcOfBlob(blob) {
    let crc = 0;
    const reader = blob.stream().getReader();
    for (;;) {
        const { done, value } = await reader.read();
        if (done) return crc;
        crc = crc32(value, crc);
    }
}

// A record of little-endian fields: [[bytes, value], ...], then `tail` bytes.
function record(fields, tail = new Uint8Array(0)) {
    const size = fields.reduce((n, [w]) => n + w, 0);
    const out = new Uint8Array(size + tail.length);
    const v = new DataView(out.buffer);
    let at = 0;
    for (const [w, value] of fields) {
        if (w === 2) v.setUint16(at, value, true);
        else if (w === 4) v.setUint32(at, value, true);
        else v.setBigUint64(at, BigInt(value), true);
        at += w;
    }
    out.set(tail, at);
    return out;
}

function dosTime(d) {
    return {
        time: (d.getHours() << 11) | (d.getMinutes() << 5) | (d.getSeconds() >> 1),
        date: ((Math.max(1980, d.getFullYear()) - 1980) << 9) | ((d.getMonth() + 1) << 5) | d.getDate(),
    };
}

const utf8 = new TextEncoder();

// Small byte arrays joined into pieces of about this size, so that a
// Blob of 65535 files is made of a few dozen parts, not 200,000.
const PieceSize = 1 << 20;

function join(arrays) {
    const out = new Uint8Array(arrays.reduce((n, a) => n + a.length, 0));
    let at = 0;
    for (const a of arrays) {
        out.set(a, at);
        at += a.length;
    }
    return out;
}

export class ZipWriter {
    constructor(when = new Date()) {
        this.parts = [];
        this.pending = [];  // byte arrays not yet joined into a part
        this.pendingSize = 0;
        this.central = [];
        this.offset = 0;
        this.count = 0;
        this.stamp = dosTime(when);
    }

    // Adds `data` (bytes, or a Blob of at most 4 GiB) as the file `name`.
    async add(name, data) {
        const nameBytes = utf8.encode(name);
        const size = data.size ?? data.length;
        const crc = data instanceof Blob ? await crcOfBlob(data) : crc32(data);
        const { time, date } = this.stamp;
        const local = record([[4, 0x04034b50], [2, PlainNeeded], [2, Utf8Names], [2, Stored], [2, time], [2, date],
            [4, crc], [4, size], [4, size], [2, nameBytes.length], [2, 0]], nameBytes);
        const far = this.offset >= Max32;
        const extra = far ? record([[2, 0x0001], [2, 8], [8, this.offset]]) : new Uint8Array(0);
        const tail = new Uint8Array(nameBytes.length + extra.length);
        tail.set(nameBytes);
        tail.set(extra, nameBytes.length);
        this.central.push(record([[4, 0x02014b50], [2, Zip64Needed], [2, far ? Zip64Needed : PlainNeeded], [2, Utf8Names],
            [2, Stored], [2, time], [2, date], [4, crc], [4, size], [4, size], [2, nameBytes.length], [2, extra.length],
            [2, 0], [2, 0], [2, 0], [4, 0], [4, far ? Max32 : this.offset]], tail));
        this.push(local);
        this.push(data);
        this.offset += local.length + size;
        ++this.count;
    }

    push(data) {
        if (data instanceof Blob) {
            this.flush();
            this.parts.push(data);
            return;
        }
        this.pending.push(data);
        this.pendingSize += data.length;
        if (this.pendingSize >= PieceSize) this.flush();
    }

    flush() {
        if (this.pending.length) this.parts.push(join(this.pending));
        this.pending = [];
        this.pendingSize = 0;
    }

    // The whole .zip: the files, their central directory and its end.
    blob() {
        this.flush();
        const start = this.offset;
        const size = this.central.reduce((n, c) => n + c.length, 0);
        const end = [];
        const zip64 = start >= Max32 || this.count > 0xffff;
        if (zip64) {
            const at = start + size;
            end.push(record([[4, 0x06064b50], [8, 44], [2, Zip64Needed], [2, Zip64Needed], [4, 0], [4, 0],
                [8, this.count], [8, this.count], [8, size], [8, start]]));
            end.push(record([[4, 0x07064b50], [4, 0], [8, at], [4, 1]]));
        }
        end.push(record([[4, 0x06054b50], [2, 0], [2, 0], [2, Math.min(this.count, 0xffff)], [2, Math.min(this.count, 0xffff)],
            [4, size], [4, zip64 ? Max32 : start], [2, 0]]));
        return new Blob([...this.parts, join(this.central), ...end], { type: 'application/zip' });
    }
}
