// The viewer page: opening, the list, the path bar, preview, gallery and saving.
import { core, openArchive, OpenResult, Fault } from './archive.js';
import { automaticEncoding, decodeNames, hex, Encodings, escapeName } from './names.js';
import { buildTree, viewRows, components, typeOf } from './tree.js';
import { EntryList } from './list.js';
import { showPreview, formatSize, sniff, SniffSize } from './preview.js';
import { Gallery } from './gallery.js';
import { saveBlob, fileName, planSave, noteLines, disguisedLines, zipBlob, writeToFolder } from './save.js';
import { urlSource, startReader } from './source.js';
import { describeFindings } from './problems.js';

const $ = (id) => document.getElementById(id);
const ui = {
    file: $('file'), encoding: $('encoding'), view: $('view'), filter: $('filter'), status: $('status'),
    path: $('path'), list: $('list'), gallery: $('gallery'), preview: $('preview'), drop: $('drop'),
    saveEntry: $('save-entry'), saveSelection: $('save-selection'), saveFolder: $('save-folder'),
    saveAll: $('save-all'), saveListing: $('save-listing'), count: $('count'), extract: $('extract'),
    close: $('close'), start: $('start'), task: $('task'), progress: $('progress'), cancel: $('cancel'),
    note: $('note'), announce: $('announce'), keys: $('keys'), showKeys: $('show-keys'),
};

const state = {
    archive: null, names: [], lower: null, parts: [], root: null, folder: null,
    sort: { key: 'name', descending: false }, previewToken: 0, openToken: 0, urls: [], problems: new Map(),
};

// The view and sort a person chose last time, where the browser keeps them.
const Remembered = 'qvr-viewer';
function remember() {
    try {
        localStorage.setItem(Remembered, JSON.stringify({ view: ui.view.value, sort: state.sort }));
    } catch { /* storage refused (a private window): nothing to keep */ }
}
function recall() {
    try {
        const { view, sort } = JSON.parse(localStorage.getItem(Remembered) ?? '{}');
        if ([...ui.view.options].some((o) => o.value === view)) ui.view.value = view;
        if (sort && document.querySelector(`[data-sort="${sort.key}"]`)) state.sort = { key: sort.key, descending: Boolean(sort.descending) };
    } catch { /* nothing kept, or not ours */ }
}

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
    const type = document.createElement('span');
    type.className = 'type';
    const size = document.createElement('span');
    size.className = 'size';
    const index = document.createElement('span');
    index.className = 'index';
    if (row.folder) {
        el.classList.add('folder');
        name.textContent = escapeName(row.folder.name);
        type.textContent = 'Folder';
        size.textContent = `${row.folder.total} ${row.folder.total === 1 ? 'entry' : 'entries'}`;
        el.setAttribute('aria-label', `${name.textContent}, folder, ${size.textContent}`);
    } else {
        const i = row.index;
        const a = state.archive;
        name.textContent = escapeName(showsPaths() ? nameOf(i) : fileName(partsOf(i)));
        if (!name.textContent) name.classList.add('nameless');
        name.title = escapeName(nameOf(i));
        type.textContent = typeOf(fileName(partsOf(i)));
        size.textContent = formatSize(a.size(i));
        size.title = `${a.size(i)} bytes`;
        index.textContent = i;
        if (a.isCutShort(i)) {
            el.classList.add('cut');
            name.title += ' (data run past the end of the file)';
        }
        if (a.liesInsideDirectory(i)) el.classList.add('inside');
        if (a.overlaps(i)) el.classList.add('overlap');
        for (const p of state.problems.get(i) ?? []) name.title += `\n${p}`;
        el.setAttribute('aria-label', `${name.textContent}, ${type.textContent}, ${size.textContent}, entry ${i}` + (state.problems.has(i) ? ', damaged' : ''));
    }
    el.append(name, type, size, index);
}

const showsPaths = () => ui.view.value === 'flat' || ui.filter.value.trim() !== '';

// ---- opening

// How long an opening goes on before the status line says so (ms).
const SlowOpening = 150;

// `file`: a Blob, or a source (source.js).
async function open(file, name) {
    performance.clearMarks();
    performance.clearMeasures();
    performance.mark('qvr:open-start');
    const token = ++state.openToken;
    document.body.dataset.state = 'opening';
    // Said only of an opening that takes a while: a status line rewritten at
    // once has the page laid out and painted again while the first bytes are
    // on their way, and the opening's next read waits for that.
    const slow = setTimeout(() => token === state.openToken && setStatus(`Opening ${escapeName(name)}…`), SlowOpening);
    let result, archive;
    try {
        ({ result, archive } = await openArchive(file, name));
    } catch (e) {
        console.error(e);
        result = OpenResult.Unreadable;
    }
    clearTimeout(slow);
    if (token !== state.openToken) {
        // A later opening has begun; it decides what the page shows.
        archive?.close();
        opened();
        return;
    }
    if (result !== OpenResult.Opened) {
        name = escapeName(name);
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
    const findings = archive.findings();
    const problems = describeFindings(findings, { fileSize: archive.fileSize, entryCount: archive.entryCount, nameOf });
    state.problems = problems.byEntry;
    showNote(problems.all.length ? `${problems.all.length} ${problems.all.length === 1 ? 'problem' : 'problems'} with the structure, as qvr test reports them` : '', problems.all);
    document.title = `${escapeName(name)} — QVR viewer`;
    document.body.classList.add('has-archive');
    enter(state.root);
    const shownName = escapeName(name);
    const parts = [archive.readable === 0 && !archive.directoryCutShort
        ? `${shownName}: an empty archive (no entries), ${formatSize(archive.fileSize)}; nothing to show or save.`
        : `${shownName}: ${archive.readable} ${archive.readable === 1 ? 'entry' : 'entries'}, ${formatSize(archive.fileSize)}.`];
    let kind = 'info';
    if (archive.directoryCutShort) {
        parts.push(`Damaged: the directory ends inside entry ${archive.readable}; ${archive.readable} of ${archive.entryCount} entries shown.`);
        kind = 'warning';
    }
    if (archive.cutShort) {
        parts.push(`${archive.cutShort} ${archive.cutShort === 1 ? 'entry has' : 'entries have'} data that run past the end of the file (marked ⚠).`);
        kind = 'warning';
    }
    const misplaced = new Set(findings.filter((f) => f.fault === Fault.DataInsideDirectory || f.fault === Fault.DataOverlap).map((f) => f.index)).size;
    if (misplaced) {
        parts.push(`${misplaced} ${misplaced === 1 ? 'entry has' : 'entries have'} data inside the directory or over another entry's (marked ⚠; see below).`);
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
    state.problems = new Map();
    gallery.stop();
    list.setRows([]);
    ui.path.replaceChildren();
    ui.count.textContent = '';
    showNote('', []);
    document.title = 'QVR viewer';
    document.body.classList.remove('has-archive');
    updateButtons();
}

const NoteLines = 1000;

// A list under the status line: what a save left out, or what is wrong with the structure.
function showNote(summary, lines) {
    ui.note.hidden = lines.length === 0;
    ui.note.open = lines.length > 0 && lines.length <= 20;
    ui.note.querySelector('summary').textContent = summary;
    // A cut-off archive of 65535 entries has as many findings; the page shows the first of them.
    const shown = lines.length > NoteLines ? [...lines.slice(0, NoteLines), `… and ${lines.length - NoteLines} more`] : lines;
    ui.note.querySelector('ul').replaceChildren(...shown.map((l) => Object.assign(document.createElement('li'), { textContent: l })));
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
    // Set only when it changes: a select whose option changes redoes its menu.
    const automatic = `Automatic (${a.automatic === Encodings.utf8 ? 'UTF-8' : 'Shift_JIS'})`;
    if (ui.encoding.options[0].textContent !== automatic) ui.encoding.options[0].textContent = automatic;
    const encoding = ui.encoding.value || a.automatic;
    const decoder = new TextDecoder(encoding, { ignoreBOM: true });
    state.encoding = encoding;
    state.decoder = decoder;
    state.names = null;
    state.refusals = null;
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
    announceCount();
    if (galleryView) {
        list.setRows(rows);
        gallery.show(state.archive, rows.filter((r) => !r.folder).map((r) => r.index), (i) => escapeName(nameOf(i)));
        return;
    }
    gallery.stop();
    list.setRows(rows);
    const at = rows.findIndex((r) => (activeIndex !== null ? r.index === activeIndex : r.key === activeKey));
    if (at >= 0) list.moveTo(at);
}

// The row count is told to a screen reader once the filter has settled, not at every key.
let announceTimer = 0;
function announceCount() {
    clearTimeout(announceTimer);
    announceTimer = setTimeout(() => (ui.announce.textContent = ui.count.textContent), 600);
}

// The folders down to this one; the separators between them are drawn, not read out.
function renderPath() {
    const crumbs = [];
    for (let f = state.folder; f; f = f.parent) crumbs.unshift(f);
    const items = [];
    crumbs.forEach((f, k) => {
        if (k) items.push(Object.assign(document.createElement('span'), { className: 'separator', textContent: '\\', ariaHidden: 'true' }));
        const b = document.createElement('button');
        b.textContent = escapeName(f.parent ? f.name : state.archive.fileName || 'archive');
        if (k === crumbs.length - 1) b.setAttribute('aria-current', 'location');
        b.addEventListener('click', () => enter(f, crumbs[k + 1] ?? null));
        items.push(b);
    });
    ui.path.replaceChildren(...items);
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
        add('Folder', escapeName(row.folder.path.join('\\')) || '(top)');
        add('Entries', String(row.folder.total));
        box.replaceChildren(info);
        box.dataset.kind = 'folder';
        return;
    }
    const i = row.index;
    const a = state.archive;
    add('Name', escapeName(nameOf(i)));
    add('Size', `${a.size(i)} bytes`);
    add('Index', String(i));
    add('Offset', String(a.offset(i)));
    if (a.isCutShort(i)) {
        const present = a.extent(i)?.present ?? 0;
        add('Damaged', `data run past the end of the file: ${present} of ${a.size(i)} bytes present`);
    }
    for (const p of state.problems.get(i) ?? []) if (!a.isCutShort(i)) add('Damaged', p);
    box.replaceChildren(info, content);
    try {
        await showPreview(content, {
            archive: a, index: i, name: escapeName(nameOf(i)), forcedEncoding: ui.encoding.value || null,
            isCurrent: () => token === state.previewToken, urls: state.urls, addInfo: add,
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

// A long job under the status line: a progress bar over `total` and a
// Cancel button; `run(signal, progress)` does the work.
async function withProgress(label, total, run) {
    const controller = new AbortController();
    ui.task.hidden = false;
    ui.progress.max = Math.max(1, total);
    ui.progress.value = 0;
    ui.progress.setAttribute('aria-label', label);
    ui.cancel.onclick = () => controller.abort();
    document.body.dataset.busy = 'true';
    let shown = 0;
    try {
        return await run(controller.signal, (done) => {
            // Drawn a hundred times at most, whatever the number of entries.
            if (done - shown >= total / 100 || done === total) ui.progress.value = shown = done;
        });
    } catch (e) {
        // A stream that was stopped fails with its own words; a cancel is a cancel.
        if (controller.signal.aborted) throw new DOMException('cancelled', 'AbortError');
        throw e;
    } finally {
        ui.task.hidden = true;
        delete document.body.dataset.busy;
    }
}

// Which of `indexes` a save writes, and where: the archive library's name rule
// decides (through the core), then the first entry of each path wins, as in qvr extract.
function plan(indexes, base) {
    const codePage = state.encoding === Encodings.sjis ? 932 : 65001;
    const refusals = (state.refusals?.codePage === codePage ? state.refusals : (state.refusals = { codePage, codes: state.archive.refusals(codePage) })).codes;
    return planSave(indexes, { parts: partsOf, refusal: (i) => refusals[i], describe: (c) => state.archive.describeRefusal(c), base });
}

// Saves `indexes` below the folder `base` as the .zip `name`, or into a
// folder the person picks (`toFolder`); what is left out is listed in the note.
async function save(indexes, base, name, { toFolder = false } = {}) {
    if (!state.archive || !indexes.length || document.body.dataset.busy) return;
    let folder = null;
    if (toFolder) {
        try {
            folder = await showDirectoryPicker({ mode: 'readwrite', id: 'qvr-extract' });
        } catch {
            return;  // no folder chosen
        }
    }
    const { chosen, left } = plan(indexes, base);
    const lines = noteLines(left, nameOf);
    const where = folder ? `into ${folder.name}` : name;
    const leftOut = `${left.length} ${left.length === 1 ? 'entry' : 'entries'} left out of ${where}`;
    if (!chosen.length) {
        setStatus(`Nothing to write ${folder ? where : 'to ' + where}: every chosen entry is left out, as qvr extract leaves it (listed below).`, 'warning');
        showNote(leftOut, lines);
        return;
    }
    setStatus(`${folder ? 'Extracting' : 'Making'} ${where}…`);
    try {
        await withProgress(folder ? `Extracting ${where}` : `Making ${where}`, chosen.length, async (signal, progress) => {
            if (folder) await writeToFolder(state.archive, chosen, folder, { signal, progress });
            else saveBlob(await zipBlob(state.archive, chosen, { signal, progress }), name);
        });
    } catch (e) {
        if (e?.name === 'AbortError') setStatus(`${folder ? 'Extracting' : 'Making'} ${where} cancelled.`, 'warning');
        else setStatus(`${where} could not be made (${e?.message ?? e}).`, 'error');
        document.body.dataset.saved = 'failed';
        return;
    }
    const stored = `${chosen.length} ${chosen.length === 1 ? 'entry' : 'entries'}`;
    const disguised = disguisedLines(chosen, nameOf);
    setStatus(`${where}: ${stored}` + (left.length ? `; ${left.length} left out, as qvr extract leaves them (listed below).` : '.')
        + (disguised.length ? ` ${disguised.length} written under names that look otherwise (listed below).` : ''),
        left.length || disguised.length ? 'warning' : 'info');
    const summary = [left.length ? leftOut : '', disguised.length ? `${disguised.length} with names that look otherwise` : ''].filter(Boolean).join('; ');
    showNote(summary, [...lines, ...disguised]);
    document.body.dataset.saved = String(Number(document.body.dataset.saved) + 1 || 1);
}

const zipName = (suffix) => `${(state.archive.fileName || 'archive').replace(/\.qvr$/i, '')}${suffix}.zip`;

ui.saveEntry.addEventListener('click', async () => {
    const r = list.activeRow;
    if (r && !r.folder) saveBlob(await state.archive.data(r.index), fileName(partsOf(r.index)));
});
ui.saveSelection.addEventListener('click', () => save(selectedIndexes(), state.folder.path, zipName('-selection')));
// The folder itself is the top folder in the .zip.
ui.saveFolder.addEventListener('click', () => save(state.folder.allFiles(), state.folder.path.slice(0, -1), zipName(state.folder.parent ? '-' + state.folder.name : '')));
ui.saveAll.addEventListener('click', () => save(state.root.allFiles(), [], zipName('')));
ui.extract.hidden = typeof window.showDirectoryPicker !== 'function';
ui.extract.addEventListener('click', () => save(state.root.allFiles(), [], '', { toFolder: true }));
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
    const empty = has && state.archive.readable === 0;
    const r = list.activeRow;
    ui.saveEntry.disabled = !(has && r && !r.folder);
    ui.saveSelection.disabled = !(has && list.selected.size);
    ui.saveFolder.disabled = ui.saveAll.disabled = ui.extract.disabled = !has || empty;
    ui.saveListing.disabled = ui.close.disabled = !has;
    const reason = !has ? 'Open an archive first.' : empty ? 'The archive holds no entries: there is nothing to save.' : '';
    for (const b of [ui.saveFolder, ui.saveAll, ui.extract]) b.title = reason;
    ui.saveSelection.title = reason || (list.selected.size ? '' : 'Select entries first.');
}

// ---- controls

// The picker is emptied (so that the same file can be picked again) once the
// opening is over, for the same reason: not while its first bytes are read.
ui.file.addEventListener('change', async () => {
    const f = ui.file.files[0];
    if (f) await open(f, f.name);
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
ui.view.addEventListener('change', () => {
    remember();
    applyView();
});
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
        showSort();
        remember();
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

// The header of the sorted column carries aria-sort (the button inside it names the column).
function showSort() {
    for (const o of document.querySelectorAll('[data-sort]')) {
        const on = o.dataset.sort === state.sort.key;
        o.closest('[role=columnheader]').setAttribute('aria-sort', on ? (state.sort.descending ? 'descending' : 'ascending') : 'none');
        o.dataset.order = on ? (state.sort.descending ? 'descending' : 'ascending') : '';
    }
}

ui.close.addEventListener('click', () => {
    ++state.openToken;
    closeArchive();
    setStatus('Closed. Open another archive, or drop one on the page.');
    document.body.dataset.state = 'ready';
});

// ? shows the keys; the dialog closes with Escape or its button.
ui.showKeys.addEventListener('click', () => ui.keys.showModal());
document.addEventListener('keydown', (e) => {
    if (e.key !== '?' || e.ctrlKey || e.metaKey || e.altKey || /^(INPUT|SELECT|TEXTAREA)$/.test(e.target.tagName) || ui.keys.open) return;
    e.preventDefault();
    ui.keys.showModal();
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

// A full address's last part as a name: its escapes undone, or left as they are when they are not escapes.
function decodedOnce(part) {
    try {
        return decodeURIComponent(part);
    } catch {
        return part;
    }
}

// ?archive=PATH opens a file of this page's own origin (scripts/viewer
// serves the sample so). PATH is the parameter as the address gives it,
// decoded once: "100%25.qvr" is the file 100%.qvr, "disc%231.qvr" is disc#1.qvr.
async function openFromQuery() {
    const wanted = new URLSearchParams(location.search).get('archive');
    if (wanted === null || wanted === '') return;
    const isAddress = /^[a-z][a-z0-9+.-]*:|^\/\//i.test(wanted);
    const url = new URL(isAddress ? wanted : wanted.split('/').map(encodeURIComponent).join('/'), location.href);
    if (url.origin !== location.origin || location.protocol === 'file:') {
        setStatus(`Only an archive from this page's own server opens by address (${url.href} is not).`, 'error');
        return;
    }
    const name = isAddress ? decodedOnce(url.pathname.split('/').pop()) : wanted.split('/').pop();
    if (!name) {
        setStatus(`?archive=${escapeName(wanted)} names a folder, not an archive file.`, 'error');
        document.body.dataset.state = 'failed';
        opened();
        return;
    }
    document.body.dataset.state = 'fetching';
    setStatus(`Fetching ${escapeName(name)}…`);
    let source;
    try {
        source = await withProgress(`Fetching ${name}`, 1, (signal, progress) => urlSource(url, {
            signal,
            onProgress: (received, total) => {
                if (total) ui.progress.max = total;
                progress(received);
            },
        }));
    } catch (e) {
        setStatus(`${escapeName(name)} could not be fetched (${e.message ?? e}).`, 'error');
        document.body.dataset.state = 'failed';
        opened();
        return;
    }
    await open(source, name);
}

recall();
showSort();
updateButtons();
document.body.dataset.state = 'ready';
// The core compiles and the reading worker starts now, so that the first opening waits for neither.
core();
startReader();
openFromQuery();
