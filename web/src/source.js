// Where an archive's bytes come from: a local file (Blob.slice), or an
// address on the page's own server, read by HTTP range requests so that a
// large archive is never fetched whole; only a server that refuses ranges
// sends the whole file, with progress. Both give `size`, `read(start, end)`
// (bytes) and `part(start, end)` (a Blob for saving, from the file itself
// where there is one); `readAhead` is how far past its first read an
// opening may guess that it will need bytes.

// Slices of a file read at the same time pay a read's fixed cost (a first
// read of a file just picked costs several milliseconds) once between them,
// so an opening reads this much of the directory beside its first read
// before it knows how much there is; a wrong guess costs a read of a local file.
const BlobReadAhead = 1 << 20;

// A file's bytes reach the thread that reads them in pieces, as that
// thread's tasks: read on the page's thread, a slice in flight waits for
// every walk and drawing between its pieces. A worker does nothing but read,
// and hands each slice over whole (transferred, not copied).
const ReaderCode = `onmessage = async ({ data: { id, blob, start, end } }) => {
    try {
        const bytes = await blob.slice(start, end).arrayBuffer();
        postMessage({ id, bytes }, [bytes]);
    } catch (e) {
        postMessage({ id, error: String(e?.message ?? e) });
    }
};`;

let reader = null;
// The reading worker, started once; null where the page may not start one
// (a policy or a browser that refuses), and then the page's thread reads.
export function startReader() {
    if (reader !== null) return reader.worker;
    reader = { worker: null, waiting: new Map(), next: 0 };
    try {
        const url = URL.createObjectURL(new Blob([ReaderCode], { type: 'text/javascript' }));
        reader.worker = new Worker(url);
        URL.revokeObjectURL(url);
    } catch {
        return null;
    }
    reader.worker.onmessage = ({ data: { id, bytes, error } }) => {
        const { ok, fail } = reader.waiting.get(id);
        reader.waiting.delete(id);
        if (error === undefined) ok(new Uint8Array(bytes));
        else fail(new Error(error));
    };
    // A worker that could not start: what it was asked is read here instead.
    reader.worker.onerror = () => {
        reader.worker = null;
        for (const { ok, fail, blob, start, end } of reader.waiting.values()) readHere(blob, start, end).then(ok, fail);
        reader.waiting.clear();
    };
    return reader.worker;
}

async function readHere(blob, start, end) {
    return new Uint8Array(await blob.slice(start, end).arrayBuffer());
}

function readBlob(blob, start, end) {
    if (!startReader()) return readHere(blob, start, end);
    const id = reader.next++;
    return new Promise((ok, fail) => {
        reader.waiting.set(id, { ok, fail, blob, start, end });
        reader.worker.postMessage({ id, blob, start, end });
    });
}

export function blobSource(blob) {
    return {
        size: blob.size,
        readAhead: BlobReadAhead,
        read: (start, end) => readBlob(blob, start, end),
        part: async (start, end) => blob.slice(start, end),
    };
}

// The first request asks for this much, which also opens a small archive at once.
const FirstRange = 16 << 10;

// "bytes 0-16383/1073741824" -> 1073741824; null when the total is not given.
function totalOf(contentRange) {
    const m = /^bytes \d+-\d+\/(\d+)$/.exec(contentRange ?? '');
    return m ? Number(m[1]) : null;
}

function rangeSource(url, size, first) {
    async function read(start, end) {
        end = Math.min(end, size);
        if (end <= start) return new Uint8Array(0);
        if (end <= first.length) return first.slice(start, end);
        const response = await fetch(url, { headers: { Range: `bytes=${start}-${end - 1}` }, cache: 'no-store' });
        if (response.status !== 206) throw new Error(`the server answered ${response.status} to a range request`);
        const bytes = new Uint8Array(await response.arrayBuffer());
        if (bytes.length !== end - start) throw new Error(`the server sent ${bytes.length} of ${end - start} bytes`);
        return bytes;
    }
    return { size, read, part: async (start, end) => new Blob([await read(start, end)]), ranged: true };
}

// The whole body of `response`, with `onProgress(received, total)` as it
// comes (a cancelled fetch ends the reading with an error).
async function wholeBody(response, onProgress) {
    const total = Number(response.headers.get('Content-Length')) || 0;
    const reader = response.body.getReader();
    const chunks = [];
    let received = 0;
    for (;;) {
        const { done, value } = await reader.read();
        if (done) break;
        chunks.push(value);
        received += value.length;
        onProgress(received, total);
    }
    return new Blob(chunks);
}

// A source for `url`: ranges when the server answers the first one with
// 206 and the file's size, else the whole file as it arrives.
export async function urlSource(url, { onProgress = () => {}, signal } = {}) {
    const response = await fetch(url, { headers: { Range: `bytes=0-${FirstRange - 1}` }, cache: 'no-store', signal });
    if (response.status === 206) {
        const size = totalOf(response.headers.get('Content-Range'));
        if (size !== null) return rangeSource(url, size, new Uint8Array(await response.arrayBuffer()));
    }
    if (response.status === 416) {
        // Asked for bytes an empty file does not have.
        return blobSource(new Blob([]));
    }
    if (!response.ok) throw new Error(`${response.status} ${response.statusText}`.trim());
    return blobSource(await wholeBody(response, onProgress));
}
