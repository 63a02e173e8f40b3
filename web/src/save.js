// Saving: one entry under its own name, or many as a .zip or into a folder
// the person picks. Which entries may be written, and where, is decided
// as qvr extract decides it: names the archive library's rule refuses are
// left out, the first entry of each path wins, and a file never stands
// where a folder must (planSave); what is left out is told in qvr test's words.
import { ZipWriter } from './zip.js';
import { escapeName, looksOtherwise } from './names.js';

export function saveBlob(blob, name) {
    const url = URL.createObjectURL(blob);
    const a = document.createElement('a');
    a.href = url;
    a.download = escapeName(name);
    a.hidden = true;
    document.body.append(a);
    a.click();
    a.remove();
    // The download has taken the blob by then; the URL need not live on.
    setTimeout(() => URL.revokeObjectURL(url), 60_000);
}

// The name a file is saved under: its last component.
export function fileName(parts) {
    return parts[parts.length - 1] || 'entry';
}

// Where each of `indexes` (directory order) is written, below `base` (the
// components dropped from the front of every path): { chosen: [[index,
// path]], left: [{ index, reason }] }. `refusal(i)` is the name rule's
// verdict on entry i (0: none) and `describe(code)` its words; `parts(i)`
// the entry's folders and file name.
export function planSave(indexes, { parts, refusal, describe, base = [] }) {
    const files = new Map();    // path -> entry written there
    const folders = new Map();  // folder -> first entry inside it
    const chosen = [];
    const left = [];
    for (const i of indexes) {
        const code = refusal(i);
        if (code !== 0) {
            left.push({ index: i, reason: `name would be refused on extraction: ${describe(code)}` });
            continue;
        }
        const p = parts(i).slice(base.length);
        const path = p.join('/');
        if (files.has(path)) {
            left.push({ index: i, reason: `repeats entry ${files.get(path)}` });
            continue;
        }
        if (folders.has(path)) {
            left.push({ index: i, reason: `entry ${folders.get(path)} needs this path as a folder; extraction would skip it` });
            continue;
        }
        const above = p.slice(0, -1).map((_, k) => p.slice(0, k + 1).join('/'));
        const blocked = above.find((f) => files.has(f));
        if (blocked !== undefined) {
            left.push({ index: i, reason: `entry ${files.get(blocked)} is a file where this name needs the folder '${blocked}'; extraction would skip it` });
            continue;
        }
        for (const f of above) if (!folders.has(f)) folders.set(f, i);
        files.set(path, i);
        chosen.push([i, path]);
    }
    return { chosen, left };
}

// The left-out entries as lines of a note: "entry 3 'CON.txt': ...".
export function noteLines(left, nameOf) {
    return left.map(({ index, reason }) => `entry ${index} '${escapeName(nameOf(index))}': ${reason}`);
}

// The written entries whose names look other than they are (a bidi override
// turns "gnp.exe" round): they keep their stored names, as qvr extract
// writes them, and the note shows each with its escapes so the reader sees
// what the file manager may not.
export function disguisedLines(chosen, nameOf) {
    return chosen.filter(([i]) => looksOtherwise(nameOf(i)))
        .map(([i]) => `entry ${i} '${escapeName(nameOf(i))}': written under its stored name, which holds characters that change how it looks`);
}

// Yields [path, data] for `chosen` in order, reading neighbours together
// (archive.entries); `progress(done)` after each; a cancelled `signal`
// stops between entries.
async function* each(archive, chosen, { signal, progress }) {
    const paths = new Map(chosen);
    let done = 0;
    for await (const [i, data] of archive.entries(chosen.map(([index]) => index))) {
        signal?.throwIfAborted();
        yield [paths.get(i), data];
        progress(++done);
    }
}

// A .zip (stored, not compressed) of `chosen`, as a Blob.
export async function zipBlob(archive, chosen, { signal, progress = () => {} } = {}) {
    const zip = new ZipWriter();
    for await (const [name, data] of each(archive, chosen, { signal, progress })) await zip.add(name, data);
    return zip.blob();
}

// Writes `chosen` below `folder` (a FileSystemDirectoryHandle), making folders on the way.
export async function writeToFolder(archive, chosen, folder, { signal, progress = () => {} } = {}) {
    const folders = new Map([['', folder]]);
    async function folderFor(parts) {
        let path = '';
        let handle = folder;
        for (const part of parts) {
            path += (path ? '/' : '') + part;
            if (!folders.has(path)) folders.set(path, await handle.getDirectoryHandle(part, { create: true }));
            handle = folders.get(path);
        }
        return handle;
    }
    for await (const [path, data] of each(archive, chosen, { signal, progress })) {
        const parts = path.split('/');
        const dir = await folderFor(parts.slice(0, -1));
        const file = await dir.getFileHandle(parts[parts.length - 1], { create: true });
        const out = await file.createWritable();
        await out.write(data);
        await out.close();
    }
}
