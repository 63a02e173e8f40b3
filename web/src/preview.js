// What an entry holds, told by its content's first bytes (its name only
// tips the balance towards text), and how it is shown.
import { Encodings } from './names.js';

// Enough for every signature, and for an SVG's opening after an XML declaration.
export const SniffSize = 512;
export const HexLimit = 64 << 10;
export const TextLimit = 512 << 10;

const starts = (b, sig, at = 0) => b.length >= at + sig.length && sig.every((v, k) => v === null || b[at + k] === v);
const ascii = (s) => [...s].map((c) => c.charCodeAt(0));

// [kind, type, test]; first match wins.
const Signatures = [
    ['image', 'image/png', (b) => starts(b, [0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a])],
    ['image', 'image/jpeg', (b) => starts(b, [0xff, 0xd8, 0xff])],
    ['image', 'image/gif', (b) => starts(b, ascii('GIF87a')) || starts(b, ascii('GIF89a'))],
    ['image', 'image/webp', (b) => starts(b, ascii('RIFF')) && starts(b, ascii('WEBP'), 8)],
    ['audio', 'audio/wav', (b) => starts(b, ascii('RIFF')) && starts(b, ascii('WAVE'), 8)],
    ['audio', 'audio/ogg', (b) => starts(b, ascii('OggS'))],
    ['audio', 'audio/mpeg', (b) => starts(b, ascii('ID3')) || (b.length >= 2 && b[0] === 0xff && (b[1] & 0xe0) === 0xe0 && (b[1] & 0x06) !== 0)],
    // BMP: "BM" and a known info header size at byte 14.
    ['image', 'image/bmp', (b) => starts(b, ascii('BM')) && b.length >= 15 && [12, 40, 52, 56, 64, 108, 124].includes(b[14])],
    // ICO: reserved 0, type 1, at least one image.
    ['image', 'image/x-icon', (b) => starts(b, [0, 0, 1, 0]) && b.length >= 6 && (b[4] | b[5]) !== 0],
];

// SVG: markup whose first element is <svg>, after an optional XML
// declaration, comments and a doctype. Shown through <img>, which runs no script.
function isSvg(bytes) {
    const head = new TextDecoder().decode(bytes.subarray(0, 1024)).replace(/^\ufeff/, '');
    return /^\s*(<\?xml[^>]*>\s*)?(<!--[\s\S]*?-->\s*|<!DOCTYPE[^>]*>\s*)*<svg[\s>]/i.test(head);
}

const TextNames = /\.(txt|text|log|md|ini|inf|cfg|conf|csv|tsv|json|xml|html?|css|js|c|h|cpp|py|sh|bat|ks|tjs|scn|srt)$/i;

// True when bytes hold no control bytes but tab, line and page breaks, escape.
function printable(text) {
    return !/[\u0000-\u0008\u000e-\u001a\u001c-\u001f\ufffd]/.test(text);
}

// The encoding of a text: a byte order mark, then UTF-8 if it reads as
// UTF-8, then Shift_JIS; `forced` (from the names switch) wins when set.
export function textEncoding(bytes, forced) {
    if (starts(bytes, [0xff, 0xfe])) return 'utf-16le';
    if (starts(bytes, [0xfe, 0xff])) return 'utf-16be';
    if (forced) return forced;
    try {
        new TextDecoder('utf-8', { fatal: true }).decode(bytes, { stream: true });
        return Encodings.utf8;
    } catch {
        return Encodings.sjis;
    }
}

export function decodeText(bytes, forced) {
    return new TextDecoder(textEncoding(bytes, forced)).decode(bytes, { stream: true });
}

// { kind: 'image' | 'audio' | 'text' | 'binary', type }
export function sniff(bytes, name) {
    for (const [kind, type, test] of Signatures) if (test(bytes)) return { kind, type };
    if (isSvg(bytes)) return { kind: 'image', type: 'image/svg+xml' };
    if (bytes.length === 0) return { kind: 'text', type: 'text/plain' };
    const sample = bytes.subarray(0, 4096);
    if (TextNames.test(name) || printable(decodeText(sample))) return { kind: 'text', type: 'text/plain' };
    return { kind: 'binary', type: 'application/octet-stream' };
}

export function hexDump(bytes) {
    const lines = [];
    for (let at = 0; at < bytes.length; at += 16) {
        const row = bytes.subarray(at, at + 16);
        let h = '';
        let a = '';
        for (let k = 0; k < 16; ++k) {
            h += k < row.length ? row[k].toString(16).padStart(2, '0') + ' ' : '   ';
            if (k === 7) h += ' ';
            if (k < row.length) a += row[k] >= 0x20 && row[k] < 0x7f ? String.fromCharCode(row[k]) : '.';
        }
        lines.push(`${at.toString(16).padStart(8, '0')}  ${h} |${a}|`);
    }
    return lines.join('\n');
}

export function formatSize(n) {
    if (n < 1024) return `${n} B`;
    const units = ['KiB', 'MiB', 'GiB'];
    let v = n;
    let u = -1;
    do {
        v /= 1024;
        ++u;
    } while (v >= 1024 && u < units.length - 1);
    return `${v.toFixed(v < 10 ? 1 : 0)} ${units[u]}`;
}

// Fills `box` with a preview of entry `index`; resolves when it is shown
// (an image decoded, a text laid out). `isCurrent` says whether this
// preview is still wanted, so a slow one never overwrites a newer one.
// Fit, actual size and zoom for a preview image, on a bar above it.
function zoomBar(body, img) {
    const bar = document.createElement('div');
    bar.className = 'zoom';
    bar.setAttribute('role', 'toolbar');
    bar.setAttribute('aria-label', 'Image size');
    let scale = 0;  // 0: fit to the pane
    const apply = () => {
        img.classList.toggle('fit', scale === 0);
        img.style.width = scale ? `${img.naturalWidth * scale}px` : '';
        for (const b of bar.querySelectorAll('button')) b.setAttribute('aria-pressed', String(Number(b.dataset.scale) === scale));
    };
    const button = (text, label, onClick, value) => {
        const b = Object.assign(document.createElement('button'), { textContent: text, title: label });
        b.setAttribute('aria-label', label);
        if (value !== undefined) b.dataset.scale = value;
        b.addEventListener('click', () => {
            onClick();
            apply();
        });
        return b;
    };
    bar.append(
        button('Fit', 'Fit to the pane', () => (scale = 0), 0),
        button('100 %', 'Actual size', () => (scale = 1), 1),
        button('−', 'Zoom out', () => (scale = Math.max(1 / 16, (scale || fitScale(body, img)) / 1.5))),
        button('+', 'Zoom in', () => (scale = Math.min(32, (scale || fitScale(body, img)) * 1.5))),
    );
    apply();
    return bar;
}
const fitScale = (body, img) => Math.min(1, body.clientWidth / Math.max(1, img.naturalWidth));

export async function showPreview(box, { archive, index, name, forcedEncoding, isCurrent, urls, addInfo = () => {} }) {
    let head = await archive.head(index, HexLimit);
    if (!isCurrent()) return;
    const what = sniff(head, name);
    if (what.kind === 'text' && archive.size(index) > HexLimit) {
        head = await archive.head(index, TextLimit);
        if (!isCurrent()) return;
    }
    const body = document.createElement('div');
    body.className = `preview-body ${what.kind}`;
    if (what.kind === 'image' || what.kind === 'audio') {
        const url = URL.createObjectURL(await archive.data(index, what.type));
        if (!isCurrent()) return URL.revokeObjectURL(url);
        urls.push(url);
        const media = document.createElement(what.kind === 'image' ? 'img' : 'audio');
        media.src = url;
        if (what.kind === 'image') media.alt = name;
        else media.controls = true;
        body.append(media);
        box.replaceChildren(body);
        box.dataset.kind = what.kind;
        if (what.kind === 'image') {
            try {
                await media.decode();
                if (!isCurrent()) return what;
                addInfo('Picture', `${media.naturalWidth} × ${media.naturalHeight} pixels${what.type === 'image/svg+xml' ? ' (SVG)' : ''}`);
                body.prepend(zoomBar(body, media));
                box.dataset.ready = 'image';
            } catch {
                const note = document.createElement('p');
                note.className = 'note';
                note.textContent = 'The browser cannot show this image; its first bytes:';
                const pre = document.createElement('pre');
                pre.className = 'hex';
                pre.textContent = hexDump(head.subarray(0, HexLimit));
                body.replaceChildren(note, pre);
                box.dataset.ready = 'hex';
            }
        } else {
            box.dataset.ready = 'audio';
        }
        return what;
    }
    const pre = document.createElement('pre');
    if (what.kind === 'text') {
        pre.className = 'text';
        pre.textContent = decodeText(head, forcedEncoding);
        pre.lang = textEncoding(head, forcedEncoding) === Encodings.sjis ? 'ja' : '';
    } else {
        pre.className = 'hex';
        pre.textContent = hexDump(head.subarray(0, HexLimit));
    }
    pre.tabIndex = 0;
    body.append(pre);
    const shown = what.kind === 'text' ? TextLimit : HexLimit;
    if (archive.size(index) > shown) {
        const note = document.createElement('p');
        note.className = 'note';
        note.textContent = `The first ${formatSize(shown)} of ${formatSize(archive.size(index))}.`;
        body.append(note);
    }
    box.replaceChildren(body);
    box.dataset.kind = what.kind;
    box.dataset.ready = what.kind === 'text' ? 'text' : 'hex';
    return what;
}
