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

export function blobSource(blob) {
    return {
        size: blob.size,
        readAhead: BlobReadAhead,
        read: async (start, end) => new Uint8Array(await blob.slice(start, end).arrayBuffer()),
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
