// Where an archive's bytes come from: a local file (Blob.slice), or an
// address on the page's own server, read by HTTP range requests so that a
// large archive is never fetched whole; only a server that refuses ranges
// sends the whole file, with progress. Both give `size`, `read(start, end)`
// (bytes), `pieces(start, end)` (the same bytes as an async iterator of
// pieces, in order, as they come) and `part(start, end)` (a Blob for saving,
// from the file itself where there is one); `readAhead` is how far past
// its first read an opening may guess that it will need bytes.

// Slices of a file read at the same time pay a read's fixed cost (a first
// read of a file just picked costs several milliseconds) once between them,
// so an opening reads this much of the directory beside its first read
// before it knows how much there is; a wrong guess costs a read of a local file.
const BlobReadAhead = 1 << 20;

// A file's bytes reach the thread that reads them in pieces, as that
// thread's tasks: read on the page's thread, a slice in flight waits for
// every walk and drawing between its pieces. A worker does nothing but read,
// and hands each slice over whole, or each piece as the browser gives it
// (transferred, not copied), so that the page can use the first bytes of a
// slice while the rest are still on their way; a read the page lets go of
// stops there. Reads asked for together come in one message and all start
// before any is waited for.
const ReaderCode = `const streams = new Map();
async function read({ id, blob, start, end, pieces, cancel }) {
    if (cancel) return streams.get(id)?.cancel();
    try {
        const slice = blob.slice(start, end);
        if (!pieces) {
            const bytes = await slice.arrayBuffer();
            postMessage({ id, bytes }, [bytes]);
            return;
        }
        const stream = slice.stream().getReader();
        streams.set(id, stream);
        for (let r; !(r = await stream.read()).done;) {
            const whole = r.value.byteOffset === 0 && r.value.byteLength === r.value.buffer.byteLength;
            const bytes = whole ? r.value.buffer : r.value.slice().buffer;
            postMessage({ id, bytes }, [bytes]);
        }
        postMessage({ id, end: true });
    } catch (e) {
        postMessage({ id, error: String(e?.message ?? e) });
    } finally {
        streams.delete(id);
    }
}
onmessage = ({ data }) => data.forEach(read);`;

// The end of a read's pieces.
const Done = Symbol('done');

// The pieces of one read as they come, taken in order: an async iterator
// whose `return()` (a for-await left early, or a read no longer wanted)
// lets the rest go unseen.
class Pieces {
    constructor(release) {
        this.queue = [];  // pieces, then Done or an Error
        this.wake = null;
        this.release = release;
    }
    put(item) {
        this.queue.push(item);
        this.wake?.();
    }
    async next() {
        while (!this.queue.length) await new Promise((ok) => (this.wake = ok));
        this.wake = null;
        const item = this.queue.shift();
        if (item instanceof Uint8Array) return { done: false, value: item };
        this.return();
        if (item === Done) return { done: true, value: undefined };
        throw item;
    }
    async return() {
        this.queue = [];
        this.release();
        return { done: true, value: undefined };
    }
    [Symbol.asyncIterator]() { return this; }
}

// One piece: what a source that cannot give its bytes as they come gives.
function onePiece(bytes) {
    const pieces = new Pieces(() => {});
    bytes.then((b) => (pieces.put(b), pieces.put(Done)), (e) => pieces.put(e));
    return pieces;
}

let reader = null;
// The reading worker, started once; null where the page may not start one
// (a policy or a browser that refuses), and then the page's thread reads.
export function startReader() {
    if (reader !== null) return reader.worker;
    reader = { worker: null, waiting: new Map(), next: 0, asked: [] };
    try {
        const url = URL.createObjectURL(new Blob([ReaderCode], { type: 'text/javascript' }));
        reader.worker = new Worker(url);
        URL.revokeObjectURL(url);
    } catch {
        return null;
    }
    reader.worker.onmessage = ({ data: { id, bytes, end, error } }) => {
        // A read let go of may still send what it had read.
        reader.waiting.get(id)?.take(bytes && new Uint8Array(bytes), end, error);
    };
    // A worker that could not start: what it was asked is read here instead.
    reader.worker.onerror = () => {
        reader.worker = null;
        for (const w of reader.waiting.values()) w.readHere();
        reader.waiting.clear();
    };
    return reader.worker;
}

// Sends a read to the worker with the others asked for in the same turn of the page's thread.
function ask(read) {
    if (!reader.asked.length) {
        queueMicrotask(() => {
            reader.worker?.postMessage(reader.asked);
            reader.asked = [];
        });
    }
    reader.asked.push(read);
}

async function readHere(blob, start, end) {
    return new Uint8Array(await blob.slice(start, end).arrayBuffer());
}

function readBlob(blob, start, end) {
    if (!startReader()) return readHere(blob, start, end);
    const id = reader.next++;
    return new Promise((ok, fail) => {
        reader.waiting.set(id, {
            take: (bytes, _, error) => {
                reader.waiting.delete(id);
                if (error === undefined) ok(bytes);
                else fail(new Error(error));
            },
            readHere: () => readHere(blob, start, end).then(ok, fail),
        });
        ask({ id, blob, start, end });
    });
}

// The bytes of [start, end) as Pieces, as the worker reads them.
function readBlobPieces(blob, start, end) {
    if (!startReader()) return onePiece(readHere(blob, start, end));
    const id = reader.next++;
    // Let go of before its end: the worker stops reading it.
    const pieces = new Pieces(() => reader.waiting.delete(id) && ask({ id, cancel: true }));
    let received = 0;
    reader.waiting.set(id, {
        take: (bytes, end, error) => {
            if (bytes) pieces.put(bytes), (received += bytes.length);
            else {
                reader.waiting.delete(id);
                pieces.put(end ? Done : new Error(error));
            }
        },
        readHere: () => readHere(blob, start + received, end).then((b) => (pieces.put(b), pieces.put(Done)), (e) => pieces.put(e)),
    });
    ask({ id, blob, start, end, pieces: true });
    return pieces;
}

export function blobSource(blob) {
    return {
        size: blob.size,
        readAhead: BlobReadAhead,
        read: (start, end) => readBlob(blob, start, end),
        pieces: (start, end) => readBlobPieces(blob, start, end),
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
    return { size, read, pieces: (start, end) => onePiece(read(start, end)), part: async (start, end) => new Blob([await read(start, end)]), ranged: true };
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
