// The viewer page: opening, the list, the path bar, preview, gallery and saving.
import { core, openArchive, OpenResult } from './archive.js';
import { automaticEncoding, decodeNames, hex, Encodings } from './names.js';
import { buildTree, viewRows, components } from './tree.js';
import { EntryList } from './list.js';
import { showPreview, formatSize, sniff, SniffSize } from './preview.js';
import { Gallery } from './gallery.js';
import { saveBlob, fileName, zipEntries } from './save.js';

const $ = (id) => document.getElementById(id);
const ui = {
    file: $('file'), encoding: $('encoding'), view: $('view'), filter: $('filter'), status: $('status'),
    path: $('path'), list: $('list'), gallery: $('gallery'), preview: $('preview'), drop: $('drop'),
    saveEntry: $('save-entry'), saveSelection: $('save-selection'), saveFolder: $('save-folder'),
    saveAll: $('save-all'), saveListing: $('save-listing'), count: $('count'),
};

const state = {
    archive: null, names: [], lower: null, parts: [], root: null, folder: null,
    sort: { key: 'name', descending: false }, previewToken: 0, openToken: 0, urls: [],
};

function setStatus(text, kind = 'info') {
    ui.status.textContent = text;
    ui.status.dataset.kind = kind;
}

const list = new EntryList(ui.list, {
    describe: describeRow,
    onActivate: (row) => preview(row),
    onOpen: (row) => (row.folder ? enter(row.folder) : ui.preview.focus()),
    onUp: () => state.folder?.parent && enter(state.folder.parent, state.folder),
    onSelectionChange: updateButtons,
});
const gallery = new Gallery(ui.gallery, {
    onOpen: (index) => {
        ui.view.value = 'folders';
        applyView({ activeIndex: index });
        ui.preview.focus();
    },
    status: (text) => (ui.count.textContent = text),
});

function describeRow(row, el) {
    const name = document.createElement('span');
    name.className = 'name';
    const size = document.createElement('span');
    size.className = 'size';
    const index = document.createElement('span');
    index.className = 'index';
    if (row.folder) {
        el.classList.add('folder');
        name.textContent = row.folder.name;
        size.textContent = `${row.folder.total} ${row.folder.total === 1 ? 'entry' : 'entries'}`;
    } else {
        const i = row.index;
        name.textContent = showsPaths() ? nameOf(i) : fileName(partsOf(i));
        name.title = nameOf(i);
        size.textContent = formatSize(state.archive.size(i));
        size.title = `${state.archive.size(i)} bytes`;
        index.textContent = i;
        if (state.archive.isCutShort(i)) {
            el.classList.add('cut');
            name.title += ' (data run past the end of the file)';
        }
    }
    el.append(name, size, index);
}

const showsPaths = () => ui.view.value === 'flat' || ui.filter.value.trim() !== '';

// ---- opening

async function open(blob, name) {
    performance.clearMarks();
    performance.clearMeasures();
    performance.mark('qvr:open-start');
    const token = ++state.openToken;
    document.body.dataset.state = 'opening';
    setStatus(`Opening ${name}…`);
    let result, archive;
    try {
        ({ result, archive } = await openArchive(blob, name));
    } catch (e) {
        console.error(e);
        result = OpenResult.Unreadable;
    }
    if (token !== state.openToken) {
        // A later opening has begun; it decides what the page shows.
        archive?.close();
        opened();
        return;
    }
    if (result !== OpenResult.Opened) {
        const messages = {
            [OpenResult.NotAnArchive]: `${name} is not a QVR archive.`,
            [OpenResult.NoDirectory]: `${name} is a damaged QVR archive: its first entry's data would lie inside the header, so no entry can be read.`,
            [OpenResult.OutOfMemory]: `${name} could not be opened: not enough memory.`,
            [OpenResult.Unreadable]: `${name} could not be read.`,
        };
        setStatus(messages[result] ?? `${name} could not be opened.`, 'error');
        closeArchive();
        document.body.dataset.state = result === OpenResult.NotAnArchive ? 'not-archive' : 'failed';
        opened();
        return;
    }
    state.archive?.close();
    state.archive = archive;
    ui.encoding.value = '';
    loadNames();
    ui.filter.value = '';
    enter(state.root);
    const parts = [`${name}: ${archive.readable} ${archive.readable === 1 ? 'entry' : 'entries'}, ${formatSize(blob.size)}.`];
    let kind = 'info';
    if (archive.directoryCutShort) {
        parts.push(`Damaged: the directory ends inside entry ${archive.readable}; ${archive.readable} of ${archive.entryCount} entries shown.`);
        kind = 'warning';
    }
    if (archive.cutShort) {
        parts.push(`${archive.cutShort} ${archive.cutShort === 1 ? 'entry has' : 'entries have'} data that run past the end of the file (marked ⚠).`);
        kind = 'warning';
    }
    setStatus(parts.join(' '), kind);
    document.body.dataset.state = kind === 'info' ? 'opened' : 'damaged';
    ui.list.focus();
    // The list's rows and its full height are in the page now; the next frame shows them.
    performance.mark('qvr:open-end');
    performance.measure('qvr:open', 'qvr:open-start', 'qvr:open-end');
    opened();
}

function closeArchive() {
    state.archive?.close();
    state.archive = null;
    gallery.stop();
    list.setRows([]);
    ui.path.replaceChildren();
    ui.count.textContent = '';
}

// Counts finished openings, whatever their outcome, for anyone waiting on one.
function opened() {
    document.body.dataset.opens = String(Number(document.body.dataset.opens ?? 0) + 1);
}

// Names are decoded as they are needed: one at a time for the rows in
// sight, all at once for a view of every entry, a filter or the listing.
function loadNames() {
    const a = state.archive;
    a.automatic ??= automaticEncoding(a);
    ui.encoding.options[0].textContent = `Automatic (${a.automatic === Encodings.utf8 ? 'UTF-8' : 'Shift_JIS'})`;
    const encoding = ui.encoding.value || a.automatic;
    const decoder = new TextDecoder(encoding, { ignoreBOM: true });
    state.encoding = encoding;
    state.decoder = decoder;
    state.names = null;
    state.oneName = [];
    state.lower = null;
    state.parts = [];
    state.root = buildTree(a.readable, {
        group: (entries, from) => a.group(entries, from, encoding === Encodings.sjis ? 932 : 65001),
        decode: (bytes) => decoder.decode(bytes),
    });
}

function nameOf(i) {
    return state.names ? state.names[i] : (state.oneName[i] ??= state.decoder.decode(state.archive.nameBytes(i)));
}

function allNames() {
    return (state.names ??= decodeNames(state.archive, state.encoding));
}

// An entry's folders and file name, worked out when first needed.
function partsOf(i) {
    return (state.parts[i] ??= components(nameOf(i)));
}

// Lower-case names for filtering and sorting, made when first needed.
function lowerNames() {
    return (state.lower ??= allNames().map((n) => n.toLowerCase()));
}

// ---- views

function enter(folder, from = null) {
    state.folder = folder;
    applyView({ activeKey: from ? 'd:' + from.path.join('\\') : null });
}

function applyView({ activeKey = null, activeIndex = null } = {}) {
    if (!state.archive) return;
    if (activeIndex !== null) {
        // Into the folder that holds it, with it active.
        let f = state.root;
        for (const c of partsOf(activeIndex).slice(0, -1)) f = f.folders.get(c) ?? f;
        state.folder = f;
    }
    renderPath();
    const galleryView = ui.view.value === 'gallery';
    ui.list.hidden = galleryView;
    ui.gallery.hidden = !galleryView;
    const rows = viewRows({
        folder: state.folder, flat: ui.view.value === 'flat', filter: ui.filter.value, sort: state.sort,
        lower: lowerNames, nameOf, sizes: (i) => state.archive.size(i),
    });
    ui.count.textContent = `${rows.length} ${rows.length === 1 ? 'row' : 'rows'}`;
    document.body.dataset.rows = rows.length;
    if (galleryView) {
        list.setRows(rows);
        gallery.show(state.archive, rows.filter((r) => !r.folder).map((r) => r.index), nameOf);
        return;
    }
    gallery.stop();
    list.setRows(rows);
    const at = rows.findIndex((r) => (activeIndex !== null ? r.index === activeIndex : r.key === activeKey));
    if (at >= 0) list.moveTo(at);
}

function renderPath() {
    const crumbs = [];
    for (let f = state.folder; f; f = f.parent) crumbs.unshift(f);
    ui.path.replaceChildren(...crumbs.map((f, k) => {
        const b = document.createElement('button');
        b.textContent = f.parent ? f.name : state.archive.fileName || 'archive';
        if (k === crumbs.length - 1) b.setAttribute('aria-current', 'location');
        b.addEventListener('click', () => enter(f, crumbs[k + 1] ?? null));
        return b;
    }));
}

// ---- preview

function clearPreviewUrls() {
    for (const u of state.urls.splice(0)) URL.revokeObjectURL(u);
}

async function preview(row) {
    const token = ++state.previewToken;
    clearPreviewUrls();
    const box = ui.preview;
    delete box.dataset.ready;
    delete box.dataset.kind;
    const info = document.createElement('dl');
    info.className = 'info';
    const add = (k, v) => info.append(Object.assign(document.createElement('dt'), { textContent: k }), Object.assign(document.createElement('dd'), { textContent: v }));
    const content = document.createElement('div');
    content.className = 'content';
    if (!row) {
        box.replaceChildren();
        return;
    }
    if (row.folder) {
        add('Folder', row.folder.path.join('\\') || '(top)');
        add('Entries', String(row.folder.total));
        box.replaceChildren(info);
        box.dataset.kind = 'folder';
        return;
    }
    const i = row.index;
    const a = state.archive;
    add('Name', nameOf(i));
    add('Size', `${a.size(i)} bytes`);
    add('Index', String(i));
    add('Offset', String(a.offset(i)));
    if (a.isCutShort(i)) {
        const present = a.extent(i)?.present ?? 0;
        add('Damaged', `data run past the end of the file: ${present} of ${a.size(i)} bytes present`);
    }
    box.replaceChildren(info, content);
    try {
        await showPreview(content, {
            archive: a, index: i, name: nameOf(i), forcedEncoding: ui.encoding.value || null,
            isCurrent: () => token === state.previewToken, urls: state.urls,
        });
        if (token === state.previewToken) box.dataset.ready = content.dataset.ready;
    } catch (e) {
        if (token !== state.previewToken) return;
        content.textContent = `This entry could not be read (${e.message ?? e}).`;
        box.dataset.ready = 'error';
    }
}

// Left and right in the preview step through the images of the list, as an image viewer does.
async function stepImage(direction) {
    const rows = list.rows;
    for (let at = list.active + direction; at >= 0 && at < rows.length; at += direction) {
        const r = rows[at];
        if (r.folder) continue;
        if (sniff(await state.archive.head(r.index, SniffSize), '').kind === 'image') {
            list.moveTo(at);
            return;
        }
    }
}

// ---- saving

function selectedIndexes() {
    const out = new Set();
    for (const r of list.selectedRows) for (const i of r.folder ? r.folder.allFiles() : [r.index]) out.add(i);
    return [...out].sort((a, b) => a - b);
}

async function saveZip(indexes, base, name) {
    if (!indexes.length) return;
    setStatus(`Making ${name}…`);
    const { blob, stored, skipped } = await zipEntries(state.archive, indexes, partsOf, base);
    saveBlob(blob, name);
    setStatus(`${name}: ${stored} ${stored === 1 ? 'entry' : 'entries'}` + (skipped ? `; ${skipped} later entries of names already stored left out.` : '.'));
}

const zipName = (suffix) => `${(state.archive.fileName || 'archive').replace(/\.qvr$/i, '')}${suffix}.zip`;

ui.saveEntry.addEventListener('click', async () => {
    const r = list.activeRow;
    if (r && !r.folder) saveBlob(await state.archive.data(r.index), fileName(partsOf(r.index)));
});
ui.saveSelection.addEventListener('click', () => saveZip(selectedIndexes(), state.folder.path, zipName('-selection')));
ui.saveFolder.addEventListener('click', () => saveZip(state.folder.allFiles(), state.folder.path, zipName(state.folder.parent ? '-' + state.folder.name : '')));
ui.saveAll.addEventListener('click', () => saveZip(state.root.allFiles(), [], zipName('')));
ui.saveListing.addEventListener('click', () => {
    // The shape of `qvr list --json`.
    const a = state.archive;
    const names = allNames();
    const lines = [];
    for (let i = 0; i < a.readable; ++i)
        lines.push('  ' + JSON.stringify({ index: i, name: names[i], nameHex: hex(a.nameBytes(i)), offset: a.offset(i), size: a.size(i) }));
    saveBlob(new Blob([lines.length ? `[\n${lines.join(',\n')}\n]\n` : '[]\n'], { type: 'application/json' }), `${a.fileName || 'archive'}.json`);
});

function updateButtons() {
    const has = Boolean(state.archive);
    const r = list.activeRow;
    ui.saveEntry.disabled = !(has && r && !r.folder);
    ui.saveSelection.disabled = !(has && list.selected.size);
    ui.saveFolder.disabled = ui.saveAll.disabled = ui.saveListing.disabled = !has;
}

// ---- controls

ui.file.addEventListener('change', () => {
    const f = ui.file.files[0];
    if (f) open(f, f.name);
    ui.file.value = '';
});
ui.encoding.addEventListener('change', () => {
    if (!state.archive) return;
    const path = state.folder.path;
    loadNames();
    let f = state.root;
    for (const c of path) f = f.folders.get(c) ?? f;
    state.folder = f;
    applyView();
});
ui.view.addEventListener('change', () => applyView());
ui.filter.addEventListener('input', () => applyView());
ui.filter.addEventListener('keydown', (e) => {
    if (e.key === 'Escape') {
        ui.filter.value = '';
        applyView();
    } else if (e.key === 'ArrowDown' || e.key === 'Enter') {
        e.preventDefault();
        ui.list.focus();
    }
});
for (const b of document.querySelectorAll('[data-sort]')) {
    b.addEventListener('click', () => {
        const key = b.dataset.sort;
        state.sort = { key, descending: state.sort.key === key ? !state.sort.descending : false };
        for (const o of document.querySelectorAll('[data-sort]')) o.setAttribute('aria-sort', o === b ? (state.sort.descending ? 'descending' : 'ascending') : 'none');
        applyView();
    });
}
ui.preview.addEventListener('keydown', (e) => {
    if (e.key === 'ArrowRight' || e.key === 'ArrowDown') stepImage(1);
    else if (e.key === 'ArrowLeft' || e.key === 'ArrowUp') stepImage(-1);
    else if (e.key === 'Escape') ui.list.focus();
    else return;
    e.preventDefault();
});

// Dropping a file anywhere opens it.
let dragDepth = 0;
document.addEventListener('dragenter', (e) => {
    if (![...(e.dataTransfer?.types ?? [])].includes('Files')) return;
    ++dragDepth;
    ui.drop.hidden = false;
});
document.addEventListener('dragleave', () => {
    if (dragDepth > 0 && --dragDepth === 0) ui.drop.hidden = true;
});
document.addEventListener('dragover', (e) => e.preventDefault());
document.addEventListener('drop', (e) => {
    e.preventDefault();
    dragDepth = 0;
    ui.drop.hidden = true;
    const f = e.dataTransfer?.files?.[0];
    if (f) open(f, f.name);
});

// ?archive=PATH opens a file of this page's own origin (scripts/viewer serves the sample so).
async function openFromQuery() {
    const wanted = new URLSearchParams(location.search).get('archive');
    if (!wanted) return;
    const url = new URL(wanted, location.href);
    if (url.origin !== location.origin || location.protocol === 'file:') {
        setStatus(`Only an archive from this page's own server opens by address (${url.href} is not).`, 'error');
        return;
    }
    try {
        const response = await fetch(url);
        if (!response.ok) throw new Error(`${response.status} ${response.statusText}`);
        await open(await response.blob(), decodeURIComponent(url.pathname.split('/').pop()));
    } catch (e) {
        setStatus(`${url.pathname} could not be fetched (${e.message ?? e}).`, 'error');
    }
}

updateButtons();
document.body.dataset.state = 'ready';
core();
openFromQuery();
