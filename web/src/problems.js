// The archive library's structural findings in the words qvr test prints
// for them, so that the page and the tool tell the same damage alike.
import { Fault } from './archive.js';
import { escapeName } from './names.js';

export function describeFinding(f, { fileSize, entryCount, nameOf }) {
    switch (f.fault) {
        case Fault.FirstEntryCut: return 'the file ends inside the first directory entry';
        case Fault.DirectoryPastEnd: return `the directory should run to byte ${f.end}, but the file has ${fileSize} bytes`;
        case Fault.DirectoryCutShort: return `entry ${f.index}: runs past the end of the directory; ${f.index} of ${entryCount} entries readable`;
        case Fault.DataPastEnd: return `entry ${f.index} '${escapeName(nameOf(f.index))}': data run to byte ${f.end}, past the end of the file (${fileSize} bytes)`;
        case Fault.DataInsideDirectory: return `entry ${f.index}: data at byte ${f.begin} overlap the header or the directory entries`;
        case Fault.DataOverlap: return `entry ${f.index}: data at bytes ${f.begin} to ${f.end - 1} overlap those of entry ${f.other}`;
        default: return 'damaged structure';
    }
}

// Each finding's words, and for every entry a finding names, its words
// (an overlap is told on both entries).
export function describeFindings(findings, context) {
    const all = [];
    const byEntry = new Map();
    const note = (i, text) => byEntry.set(i, [...(byEntry.get(i) ?? []), text]);
    for (const f of findings) {
        const text = describeFinding(f, context);
        all.push(text);
        if (f.fault === Fault.DataInsideDirectory || f.fault === Fault.DataOverlap || f.fault === Fault.DataPastEnd) note(f.index, text);
        if (f.fault === Fault.DataOverlap) note(f.other, text);
    }
    return { all, byEntry };
}
