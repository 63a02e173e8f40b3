// The entries as folders and files, and the rows a view of them shows. A
// folder sorts its entries into subfolders and files only when it is first
// looked into, so opening an archive costs one pass over the top level.

// Where the component of `name` that starts at or after `from` lies, as
// [start, end], passing over empty and "." components; null when none is left.
const Backslash = 0x5c;
const Slash = 0x2f;
const Dot = 0x2e;
const isSeparator = (c) => c === Backslash || c === Slash;

function nextComponent(name, from) {
    const n = name.length;
    let start = from;
    for (;;) {
        while (start < n && isSeparator(name.charCodeAt(start))) ++start;
        if (start >= n) return null;
        let end = start + 1;
        while (end < n && !isSeparator(name.charCodeAt(end))) ++end;
        if (end - start !== 1 || name.charCodeAt(start) !== Dot) return [start, end];
        start = end;
    }
}

export class Folder {
    // `entries` are the indexes of the files here and below, ascending, and
    // `from` where the rest of each one's name begins (in bytes), or both
    // null for every entry from its first byte (the top); `source`
    // sorts them into files and subfolders (archive/'s rule, in the core)
    // and decodes folder names.
    constructor(name, parent, entries, from, source) {
        this.name = name;
        this.parent = parent;
        this.entries = entries;
        this.from = from;
        this.source = source;
        this.sorted = null;
    }
    get total() { return this.entries ? this.entries.length : this.count; }
    get path() {
        const p = [];
        for (let f = this; f.parent; f = f.parent) p.unshift(f.name);
        return p;
    }
    // Every file here and below, in directory order.
    allFiles() { return this.entries ? Array.from(this.entries) : Array.from({ length: this.count }, (_, i) => i); }

    sort() {
        if (this.sorted) return this.sorted;
        const { files, folders } = this.source.group(this.entries, this.from);
        const children = new Map();
        for (const f of folders) {
            const name = this.source.decode(f.key);
            const same = children.get(name);  // two spellings that decode alike are one folder
            if (!same) {
                children.set(name, new Folder(name, this, f.entries, f.from, this.source));
                continue;
            }
            const both = [...same.entries].map((e, k) => [e, same.from[k]]).concat([...f.entries].map((e, k) => [e, f.from[k]]));
            both.sort((a, b) => a[0] - b[0]);
            children.set(name, new Folder(name, this, Uint32Array.from(both, (b) => b[0]), Uint32Array.from(both, (b) => b[1]), this.source));
        }
        this.sorted = { folders: children, files: Array.from(files) };
        return this.sorted;
    }
    get folders() { return this.sort().folders; }
    get files() { return this.sort().files; }
}

export function buildTree(count, source) {
    const root = new Folder('', null, null, null, source);
    root.count = count;
    return root;
}

// The folders and file name a name stands for, without empty and "."
// components; a name with nothing left is its own file name.
export function components(name) {
    const parts = [];
    for (let c = nextComponent(name, 0); c; c = nextComponent(name, c[1])) parts.push(name.slice(c[0], c[1]));
    return parts.length ? parts : [name];
}

const fileNameOf = (name) => {
    const parts = components(name);
    return parts[parts.length - 1];
};

// A row of a view: a folder or an entry.
export const folderRow = (folder) => ({ folder, key: 'd:' + folder.path.join('\\') });
export const entryRow = (index) => ({ index, key: index });

// Names in the order people expect: img_2 before img_10, Äpfel beside
// apple, case aside; ties fall to the entry index.
const collator = new Intl.Collator(undefined, { numeric: true, sensitivity: 'base' });

// What the list's Type column says: the file name's extension, or "File".
export function typeOf(name) {
    const dot = name.lastIndexOf('.');
    return dot > 0 && dot < name.length - 1 && name.length - dot <= 9 ? name.slice(dot + 1).toUpperCase() : 'File';
}

// Rows for `folder`: its folders, then its files; with a filter, every file
// below it whose name holds the text, with its path shown.
export function viewRows({ folder, flat, filter, sort, lower, nameOf, sizes }) {
    const needle = filter.trim().toLowerCase();
    let files;
    let folders = [];
    if (flat || needle) {
        files = [...folder.allFiles()];
        if (needle) {
            const l = lower();
            files = files.filter((i) => l[i].includes(needle));
        }
    } else {
        files = [...folder.files];
        folders = [...folder.folders.values()];
    }
    const dir = sort.descending ? -1 : 1;
    // Many names are decoded all at once (which lower() does), a few alone.
    if (files.length > 1000 && (sort.key === 'name' || sort.key === 'type')) lower();
    if (sort.key === 'name') {
        // What is compared is what the row shows: the whole name in a flat view, else the file name.
        const shown = flat || needle ? nameOf : (i) => fileNameOf(nameOf(i));
        const keys = new Map(files.map((i) => [i, shown(i)]));
        files.sort((a, b) => dir * (collator.compare(keys.get(a), keys.get(b)) || a - b));
        folders.sort((a, b) => dir * collator.compare(a.name, b.name));
    } else if (sort.key === 'type') {
        const keys = new Map(files.map((i) => [i, typeOf(fileNameOf(nameOf(i)))]));
        files.sort((a, b) => dir * (collator.compare(keys.get(a), keys.get(b)) || a - b));
        folders.sort((a, b) => dir * collator.compare(a.name, b.name));
    } else if (sort.key === 'size') {
        files.sort((a, b) => dir * (sizes(a) - sizes(b) || a - b));
        folders.sort((a, b) => dir * (a.total - b.total));
    } else if (sort.descending) {
        files.reverse();
    }
    return [...folders.map(folderRow), ...files.map(entryRow)];
}
