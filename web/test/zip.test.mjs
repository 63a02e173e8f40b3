import assert from 'node:assert/strict';
import { test } from 'node:test';
import { ZipWriter, crc32 } from '../src/zip.js';

const text = (s) => new TextEncoder().encode(s);

// The central directory as a reader finds it from the end record.
function centralNames(bytes) {
    const v = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
    const end = bytes.length - 22;
    assert.equal(v.getUint32(end, true), 0x06054b50);
    const count = v.getUint16(end + 10, true);
    let at = v.getUint32(end + 16, true);
    const out = [];
    for (let k = 0; k < count; ++k) {
        assert.equal(v.getUint32(at, true), 0x02014b50);
        const nameLength = v.getUint16(at + 28, true);
        const local = v.getUint32(at + 42, true);
        assert.equal(v.getUint32(local, true), 0x04034b50);
        const size = v.getUint32(at + 24, true);
        const data = bytes.subarray(local + 30 + nameLength, local + 30 + nameLength + size);
        out.push({ name: new TextDecoder().decode(bytes.subarray(at + 46, at + 46 + nameLength)), crc: v.getUint32(at + 16, true), data });
        at += 46 + nameLength + v.getUint16(at + 30, true) + v.getUint16(at + 32, true);
    }
    return out;
}

test('CRC-32 of the check string', () => {
    assert.equal(crc32(text('123456789')), 0xcbf43926);
    assert.equal(crc32(text('6789'), crc32(text('12345'))), 0xcbf43926);
});

test('files from bytes and from Blobs, each found through the central directory', async () => {
    const zip = new ZipWriter(new Date(2024, 0, 2, 3, 4, 6));
    await zip.add('a.txt', text('alpha'));
    await zip.add('日本/é.bin', new Blob([text('from a blob')]));
    await zip.add('empty', new Uint8Array(0));
    const bytes = new Uint8Array(await zip.blob().arrayBuffer());
    const files = centralNames(bytes);
    assert.deepEqual(files.map((f) => f.name), ['a.txt', '日本/é.bin', 'empty']);
    assert.deepEqual(files.map((f) => new TextDecoder().decode(f.data)), ['alpha', 'from a blob', '']);
    for (const f of files) assert.equal(f.crc, crc32(f.data), f.name);
});

test('thousands of small files stay one piece per megabyte', async () => {
    const zip = new ZipWriter();
    for (let i = 0; i < 5000; ++i) await zip.add(`d/${i}`, new Uint8Array(300).fill(i & 255));
    const blob = zip.blob();
    assert.ok(zip.parts.length <= 3, `${zip.parts.length} parts`);
    const files = centralNames(new Uint8Array(await blob.arrayBuffer()));
    assert.equal(files.length, 5000);
    assert.equal(files[4999].data[0], 4999 & 255);
});
