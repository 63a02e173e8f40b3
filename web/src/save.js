// Saving: one entry under its own name, or many as a .zip with their
// folders. Entry data stream from the archive file into the zip (stored,
// not compressed); the page never holds them whole.
import { downloadZip } from 'client-zip';

export function saveBlob(blob, name) {
    const url = URL.createObjectURL(blob);
    const a = document.createElement('a');
    a.href = url;
    a.download = name;
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

// Zips `indexes` (entry indexes, directory order) under their folders
// (`parts(i)` gives entry i's)
// below `base` (the components dropped from the front of every path).
// Entries whose path is taken already keep the first of that path, as
// extraction does. Returns { blob, stored, skipped }.
export async function zipEntries(archive, indexes, parts, base = []) {
    const seen = new Set();
    const chosen = [];
    let skipped = 0;
    for (const i of indexes) {
        const p = parts(i).slice(base.length).filter((c) => c !== '..');
        const path = p.length ? p.join('/') : `entry-${i}`;
        if (seen.has(path)) {
            ++skipped;
            continue;
        }
        seen.add(path);
        chosen.push([i, path]);
    }
    async function* files() {
        for (const [i, path] of chosen) yield { name: path, input: await archive.data(i), size: archive.extent(i)?.present ?? 0 };
    }
    const blob = await downloadZip(files()).blob();
    return { blob, stored: chosen.length, skipped };
}
