// The entries as folders and files, and the rows a view of them shows.
import { components } from './names.js';

export class Folder {
    constructor(name, parent) {
        this.name = name;
        this.parent = parent;
        this.folders = new Map();
        this.files = [];  // entry indexes
        this.total = 0;   // files here and below
    }
    get path() {
        const p = [];
        for (let f = this; f.parent; f = f.parent) p.unshift(f.name);
        return p;
    }
    // Every file here and below, in directory order.
    allFiles() {
        const out = [...this.files];
        for (const f of this.folders.values()) out.push(...f.allFiles());
        return out.sort((a, b) => a - b);
    }
}

export function buildTree(names) {
    const root = new Folder('', null);
    const parts = new Array(names.length);
    for (let i = 0; i < names.length; ++i) {
        const p = components(names[i]);
        parts[i] = p;
        let f = root;
        ++f.total;
        for (let k = 0; k < p.length - 1; ++k) {
            let next = f.folders.get(p[k]);
            if (!next) f.folders.set(p[k], (next = new Folder(p[k], f)));
            f = next;
            ++f.total;
        }
        f.files.push(i);
    }
    return { root, parts };
}

// A row of a view: a folder or an entry.
export const folderRow = (folder) => ({ folder, key: 'd:' + folder.path.join('\\') });
export const entryRow = (index) => ({ index, key: index });

const byText = (a, b) => (a < b ? -1 : a > b ? 1 : 0);

// Rows for `folder`: its folders, then its files; with a filter, every file
// below it whose name holds the text, with its path shown.
export function viewRows({ folder, flat, filter, sort, names, lower, sizes }) {
    const needle = filter.trim().toLowerCase();
    let files;
    let folders = [];
    if (flat || needle) {
        files = flat && !folder.parent ? names.map((_, i) => i) : folder.allFiles();
        if (needle) files = files.filter((i) => lower[i].includes(needle));
    } else {
        files = [...folder.files];
        folders = [...folder.folders.values()];
    }
    const dir = sort.descending ? -1 : 1;
    if (sort.key === 'name') {
        files.sort((a, b) => dir * (byText(lower[a], lower[b]) || a - b));
        folders.sort((a, b) => dir * byText(a.name.toLowerCase(), b.name.toLowerCase()));
    } else if (sort.key === 'size') {
        files.sort((a, b) => dir * (sizes(a) - sizes(b) || a - b));
        folders.sort((a, b) => dir * (a.total - b.total));
    } else if (sort.descending) {
        files.reverse();
    }
    return [...folders.map(folderRow), ...files.map(entryRow)];
}
