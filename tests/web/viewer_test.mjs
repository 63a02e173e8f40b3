// qvr-viewer.html in headless Chromium, one scenario per kind of archive:
//   node viewer_test.mjs sample|small|cp932|damaged|typical --html H --archives DIR --qvr QVR
//        --chromium PATH --samples DIR [--results JSON]
// What the page lists must equal `qvr list --json` of the same file.
import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import { mkdtempSync, readFileSync, writeFileSync, existsSync, rmSync, readdirSync, statSync, createReadStream, copyFileSync, mkdirSync } from 'node:fs';
import { createServer } from 'node:http';
import { createRequire } from 'node:module';
import { tmpdir } from 'node:os';
import path from 'node:path';
import { pathToFileURL } from 'node:url';
import { parseArgs } from 'node:util';

const require = createRequire(new URL('../../web/package.json', import.meta.url));
const { chromium } = require('playwright-core');
const { values: opt, positionals: [scenario] } = parseArgs({
    allowPositionals: true,
    options: Object.fromEntries(['html', 'archives', 'qvr', 'chromium', 'samples', 'results'].map((k) => [k, { type: 'string' }])),
});
const archive = (name) => path.join(opt.archives, name);
assert.ok(existsSync(opt.qvr), `${opt.qvr} is missing: build the native preset first (cmake --build --preset native)`);
const work = mkdtempSync(path.join(tmpdir(), 'qvr-viewer-test-'));
const Long = { timeout: 300_000 };

function qvrList(file, ...more) {
    const r = spawnSync(opt.qvr, ['list', '--json', ...more, file], { encoding: 'utf8', maxBuffer: 1 << 28 });
    return JSON.parse(r.stdout);
}

async function launch({ width = 1280, height = 800 } = {}) {
    const context = await chromium.launchPersistentContext(path.join(work, 'profile'), {
        executablePath: opt.chromium, headless: true, acceptDownloads: true, viewport: { width, height },
        args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
               '--disable-component-update', '--disable-sync', '--enable-precise-memory-info', '--js-flags=--expose-gc'],
    });
    const page = context.pages()[0] ?? (await context.newPage());
    const requests = [];
    const errors = [];
    context.on('request', (r) => requests.push(r.url()));
    page.on('pageerror', (e) => errors.push(e));
    return { context, page, requests, errors };
}

async function load(page, url = pathToFileURL(opt.html).href) {
    await page.goto(url);
    await page.waitForSelector('body[data-state]:not([data-state=""])');
}

const opens = (page) => page.evaluate(() => Number(document.body.dataset.opens ?? 0));
async function afterOpening(page, before) {
    await page.waitForFunction((n) => Number(document.body.dataset.opens ?? 0) > n, before, Long);
    return page.evaluate(() => document.body.dataset.state);
}
async function openFile(page, file) {
    const before = await opens(page);
    await page.setInputFiles('#file', file);
    return afterOpening(page, before);
}

async function download(page, click) {
    const [d] = await Promise.all([page.waitForEvent('download', Long), click()]);
    const to = path.join(work, d.suggestedFilename());
    await d.saveAs(to);
    return to;
}

async function listing(page) {
    return JSON.parse(readFileSync(await download(page, () => page.click('#save-listing')), 'utf8'));
}

const rowNames = (page) => page.$$eval('#list .row .name', (els) => els.map((e) => e.textContent));
async function choose(page, name) {
    await page.click(`#list .row:has(.name:text-is(${JSON.stringify(name)}))`);
    await page.waitForSelector('#preview[data-ready]');
    return page.$eval('#preview', (p) => p.dataset.ready);
}
async function view(page, value) {
    await page.selectOption('#view', value);
}

// The preview image's colour at (x, y), as the browser decoded it.
const pixel = (page, x, y) => page.$eval('#preview img', (img, [x, y]) => {
    const c = document.createElement('canvas');
    c.width = img.naturalWidth;
    c.height = img.naturalHeight;
    const g = c.getContext('2d');
    g.drawImage(img, 0, 0);
    return [...g.getImageData(x, y, 1, 1).data.slice(0, 3)];
}, [x, y]);
async function quadrants(page, w, h) {
    assert.deepEqual(await pixel(page, w / 4, h / 4), [255, 0, 0]);
    assert.deepEqual(await pixel(page, (3 * w) / 4, h / 4), [0, 255, 0]);
    assert.deepEqual(await pixel(page, w / 4, (3 * h) / 4), [0, 0, 255]);
    assert.deepEqual(await pixel(page, (3 * w) / 4, (3 * h) / 4), [255, 255, 255]);
}

function record(values) {
    if (!opt.results) return;
    const all = existsSync(opt.results) ? JSON.parse(readFileSync(opt.results, 'utf8')) : {};
    all[scenario] = values;
    writeFileSync(opt.results, JSON.stringify(all, null, 2) + '\n');
    console.log(JSON.stringify(values));
}

// The names in a .zip, as unzip -l lists them.
function zipNames(zip) {
    const r = spawnSync('python3', ['-c', 'import sys, zipfile, json; print(json.dumps(zipfile.ZipFile(sys.argv[1]).namelist()))', zip], { encoding: 'utf8', maxBuffer: 1 << 28 });
    assert.equal(r.status, 0, r.stderr);
    return JSON.parse(r.stdout);
}

// Every file below `dir`, as slash-separated paths.
function filesBelow(dir, prefix = '') {
    return readdirSync(dir, { withFileTypes: true }).flatMap((d) =>
        d.isDirectory() ? filesBelow(path.join(dir, d.name), `${prefix}${d.name}/`) : [`${prefix}${d.name}`]);
}

// What `qvr extract` writes into an empty folder.
function extracted(file) {
    const out = mkdtempSync(path.join(work, 'extract-'));
    spawnSync(opt.qvr, ['extract', '-q', '-C', out, file]);
    return filesBelow(out).sort();
}

// The lines `qvr test` prints about the archive, without the "qvr: FILE: " before them.
function testLines(file) {
    const r = spawnSync(opt.qvr, ['test', path.basename(file)], { encoding: 'utf8', cwd: path.dirname(file) });
    const prefix = `qvr: ${path.basename(file)}: `;
    return r.stderr.split('\n').filter((l) => l.startsWith(prefix)).map((l) => l.slice(prefix.length));
}

// Runs `fn` in the page and in each of its workers (a file's bytes are read
// in a worker, the page's own reads on its thread); their answers, in that order.
const everywhere = (page, fn, arg) => Promise.all([page, ...page.workers()].map((at) => at.evaluate(fn, arg)));

const noteLines = (page) => page.$$eval('#note li', (els) => els.map((e) => e.textContent));

// A server of this machine only: the page, the samples and the test
// archives, with HTTP ranges except below /norange/; `served` records what it sent.
async function serve(roots) {
    const served = [];
    const server = createServer((req, res) => {
        const p = decodeURIComponent(new URL(req.url, 'http://127.0.0.1').pathname);
        const [, top, ...rest] = p.split('/');
        const file = p === '/qvr-viewer.html' ? opt.html : roots[top] && rest.length ? path.join(roots[top], ...rest) : null;
        if (!file || !existsSync(file) || statSync(file).isDirectory()) {
            res.writeHead(404).end();
            return;
        }
        const size = statSync(file).size;
        const range = /^bytes=(\d+)-(\d*)$/.exec(req.headers.range ?? '');
        if (range && top !== 'norange' && file !== opt.html) {
            const start = Number(range[1]);
            const end = Math.min(size - 1, range[2] ? Number(range[2]) : size - 1);
            if (start >= size) {
                res.writeHead(416, { 'Content-Range': `bytes */${size}` }).end();
                return;
            }
            served.push({ path: p, bytes: end - start + 1, range: req.headers.range });
            res.writeHead(206, { 'Content-Range': `bytes ${start}-${end}/${size}`, 'Content-Length': end - start + 1, 'Accept-Ranges': 'bytes' });
            createReadStream(file, { start, end }).pipe(res);
            return;
        }
        served.push({ path: p, bytes: size, range: null });
        res.writeHead(200, { 'Content-Length': size });
        createReadStream(file).pipe(res);
    });
    await new Promise((ok) => server.listen(0, '127.0.0.1', ok));
    return { server, served, origin: `http://127.0.0.1:${server.address().port}` };
}

const median = (v) => [...v].sort((a, b) => a - b)[Math.floor(v.length / 2)];

// Hostile names: opened from `origin`.
async function hostileNames({ page }, origin) {
    const file = archive('hostile.qvr');
    await load(page, `${origin}/qvr-viewer.html?archive=archives/hostile.qvr`);
    await page.waitForFunction(() => document.body.dataset.opens === '1', null, Long);
    assert.equal(await page.evaluate(() => document.body.dataset.state), 'opened');
    assert.deepEqual(await listing(page), qvrList(file));

    // Natural, locale-aware order among the top's files.
    const top = await rowNames(page);
    const at = (n) => top.indexOf(n);
    assert.ok(at('img_1.txt') >= 0 && at('img_1.txt') < at('img_2.txt') && at('img_2.txt') < at('img_10.txt'), JSON.stringify(top));
    assert.ok(at('apple.txt') < at('Zeta.txt') && at('Äpfel.txt') < at('Zeta.txt'), JSON.stringify(top));

    // No name changes its look: controls and bidi marks are escapes in the list, its tips and the preview.
    await view(page, 'flat');
    const shown = await page.$$eval('#list .row .name', (els) => els.flatMap((e) => [e.textContent, e.title]));
    const invisible = /[\u0000-\u001f\u007f-\u009f\u061c\u200b-\u200f\u2028-\u202e\u2060-\u2069]/u;
    assert.deepEqual(shown.filter((n) => invisible.test(n)), []);
    const names = await rowNames(page);
    for (const n of ['evil\\xE2\\x80\\xAEgnp.exe', 'invoice_\\xE2\\x80\\xAEfdp.scr', 'esc\\x1B[31mred.txt', 'bell\\x07.txt', 'new\\x0Aline.txt', 'nul\\x00byte.txt'])
        assert.ok(names.includes(n), `${n} in ${JSON.stringify(names)}`);
    await choose(page, 'evil\\xE2\\x80\\xAEgnp.exe');
    assert.match(await page.textContent('#preview .info'), /evil\\xE2\\x80\\xAEgnp\.exe/);
    assert.ok(!invisible.test(await page.textContent('#preview')));
    const saved = path.basename(await download(page, () => page.click('#save-entry')));
    assert.ok(!invisible.test(saved) && saved.endsWith('gnp.exe') && saved.includes('xAE'), saved);

    // The .zip holds what qvr extract writes into an empty folder, and
    // the note names the rest in qvr test's words; empty and "/" names end nothing.
    const zip = await download(page, () => page.click('#save-all'));
    assert.deepEqual(zipNames(zip).sort(), extracted(file));
    const note = await noteLines(page);
    const told = testLines(file).filter((l) => /^entry \d+ /.test(l));
    assert.ok(told.length >= 14, JSON.stringify(told));
    for (const line of told) assert.ok(note.includes(line), `${line} not in ${JSON.stringify(note)}`);
    assert.match(await page.textContent('#status'), /left out, as qvr extract leaves them/);
    // Names kept as stored that look otherwise are told with their escapes.
    for (const n of ['evil\\xE2\\x80\\xAEgnp.exe', 'invoice_\\xE2\\x80\\xAEfdp.scr'])
        assert.ok(note.some((l) => l.endsWith(`'${n}': written under its stored name, which holds characters that change how it looks`)), `${n} in ${JSON.stringify(note)}`);

    // A selection of refused names alone makes no empty .zip.
    await choose(page, 'CON.txt');
    await page.click('#save-selection');
    assert.match(await page.textContent('#status'), /^Nothing to write to hostile-selection\.zip/);
    assert.deepEqual(await noteLines(page), ["entry 8 'CON.txt': name would be refused on extraction: Windows device name"]);

    // Extract to folder writes the same files, here into the page's private folder for the picked one.
    assert.ok(await page.isVisible('#extract'));
    await page.evaluate(() => (window.showDirectoryPicker = () => navigator.storage.getDirectory()));
    await page.click('#extract');
    await page.waitForFunction(() => document.body.dataset.saved !== '1', null, Long);
    assert.equal(await page.evaluate(() => document.body.dataset.saved), '2', await page.textContent('#status'));
    const written = await page.evaluate(async () => {
        const out = [];
        async function walk(folder, prefix) {
            for await (const [name, h] of folder.entries()) {
                if (h.kind === 'directory') await walk(h, `${prefix}${name}/`);
                else out.push(prefix + name);
            }
        }
        await walk(await navigator.storage.getDirectory(), '');
        return out;
    });
    assert.deepEqual(written.sort(), extracted(file));
}

const scenarios = {
    // Served over http with ?archive=, as scripts/viewer does.
    async sample({ page, requests }) {
        const originals = path.join(opt.samples, 'sample');
        const named = path.join(work, 'named');
        mkdirSync(named);
        for (const n of ['100%.qvr', 'disc#1.qvr']) copyFileSync(path.join(opt.samples, 'sample.qvr'), path.join(named, n));
        const { server, served, origin } = await serve({ samples: opt.samples, archives: opt.archives, named, norange: opt.samples });
        try {
            await load(page, `${origin}/qvr-viewer.html?archive=samples/sample.qvr`);
            await page.waitForFunction(() => document.body.dataset.opens === '1', null, Long);
            assert.equal(await page.evaluate(() => document.body.dataset.state), 'opened');
            assert.deepEqual(await listing(page), qvrList(path.join(opt.samples, 'sample.qvr')));
            assert.deepEqual(await rowNames(page), ['note.txt', 'readme.txt', 'table.bin']);

            assert.equal(await choose(page, 'readme.txt'), 'text');
            assert.equal(await page.$eval('#preview pre.text', (e) => e.textContent), readFileSync(path.join(originals, 'readme.txt'), 'utf8'));
            assert.equal(await choose(page, 'table.bin'), 'hex');
            assert.match(await page.$eval('#preview pre.hex', (e) => e.textContent), /^00000000  00 01 02 03 04 05 06 07  08 09 0a 0b 0c 0d 0e 0f  \|\.{16}\|\n00000010  10 11/);
            assert.deepEqual(readFileSync(await download(page, () => page.click('#save-entry'))), readFileSync(path.join(originals, 'table.bin')));

            const zip = await download(page, () => page.click('#save-all'));
            const out = path.join(work, 'unzipped');
            assert.equal(spawnSync('python3', ['-m', 'zipfile', '-e', zip, out]).status, 0);
            assert.deepEqual(readdirSync(out).sort(), readdirSync(originals).sort());
            for (const f of readdirSync(originals)) assert.deepEqual(readFileSync(path.join(out, f)), readFileSync(path.join(originals, f)), f);

            // The parameter decoded once, as the address gives it.
            for (const [query, name] of [['100%25.qvr', '100%.qvr'], ['disc%231.qvr', 'disc#1.qvr']]) {
                await load(page, `${origin}/qvr-viewer.html?archive=named/${query}`);
                await page.waitForFunction(() => document.body.dataset.opens === '1', null, Long);
                assert.equal(await page.evaluate(() => document.body.dataset.state), 'opened', name);
                assert.ok((await page.textContent('#status')).startsWith(`${name}: 3 entries`), name);
                assert.equal(await page.title(), `${name} — QVR viewer`);
            }
            assert.ok(served.some((s) => s.path === '/named/disc#1.qvr') && !served.some((s) => s.path === '/named/disc'));
            await load(page, `${origin}/qvr-viewer.html?archive=/`);
            await page.waitForFunction(() => document.body.dataset.opens === '1', null, Long);
            assert.match(await page.textContent('#status'), /names a folder, not an archive file/);

            // A large archive by ranges: the directory, then each entry shown; never the whole file.
            served.length = 0;
            const typical = archive('typical.qvr');
            await load(page, `${origin}/qvr-viewer.html?archive=archives/typical.qvr`);
            await page.waitForFunction(() => document.body.dataset.opens === '1', null, Long);
            assert.equal(await page.evaluate(() => document.body.dataset.state), 'opened');
            assert.deepEqual(await listing(page), qvrList(typical));
            await view(page, 'flat');
            await page.click('[data-sort=index]');
            assert.equal(await choose(page, 'd001\\f00001.txt'), 'text');
            const archiveReads = served.filter((s) => s.path === '/archives/typical.qvr');
            assert.ok(archiveReads.length >= 2 && archiveReads.every((s) => s.range), JSON.stringify(archiveReads));
            const sent = archiveReads.reduce((n, s) => n + s.bytes, 0);
            assert.ok(sent < 2 << 20, `${sent} of ${statSync(typical).size} bytes sent`);

            // A server that refuses ranges sends the whole file, once.
            served.length = 0;
            await load(page, `${origin}/qvr-viewer.html?archive=norange/sample.qvr`);
            await page.waitForFunction(() => document.body.dataset.opens === '1', null, Long);
            assert.equal(await page.evaluate(() => document.body.dataset.state), 'opened');
            assert.deepEqual(served.filter((s) => s.path.endsWith('.qvr')).map((s) => s.range), [null]);
            assert.deepEqual(requests.filter((u) => !u.startsWith(origin) && !/^(blob|data):/.test(u)), []);
        } finally {
            server.close();
        }
    },

    async small({ page, requests }) {
        const file = archive('small.qvr');
        const expected = qvrList(file);
        await load(page);
        assert.equal(await openFile(page, file), 'opened');
        assert.deepEqual(await listing(page), expected);

        // Folders: 256 at the top; Enter goes in, Backspace comes back.
        assert.equal(await page.evaluate(() => document.body.dataset.rows), '256');
        await page.focus('#list');
        await page.keyboard.press('Enter');
        await page.waitForFunction(() => document.querySelector('#path [aria-current]')?.textContent === 'd000');
        assert.equal(await page.evaluate(() => document.body.dataset.rows), '256');
        await page.keyboard.press('Backspace');
        await page.waitForFunction(() => document.querySelectorAll('#path button').length === 1);

        // Every entry, with only the rows in sight in the page; End reaches the last.
        await view(page, 'flat');
        assert.equal(await page.evaluate(() => document.body.dataset.rows), '65535');
        assert.ok((await page.$$('#list .row')).length < 100);
        await page.click('[data-sort=index]');
        // The sorted column's header says so, not its button; rows carry their size and index.
        assert.deepEqual(await page.$$eval('[role=columnheader]', (hs) => hs.map((h) => [h.querySelector('button').dataset.sort, h.getAttribute('aria-sort')])),
            [['name', 'none'], ['type', 'none'], ['size', 'none'], ['index', 'ascending']]);
        assert.equal(await page.$$eval('[data-sort][aria-sort]', (bs) => bs.length), 0);
        assert.match(await page.$eval('#list .row', (r) => r.getAttribute('aria-label')), /^d000\\f00000\.bin, BIN, \d+ B, entry 0$/);
        await page.focus('#list');
        await page.keyboard.press('?');
        assert.ok(await page.$eval('#keys', (d) => d.open));
        await page.keyboard.press('Escape');
        assert.ok(!(await page.$eval('#keys', (d) => d.open)));
        await page.focus('#list');
        await page.keyboard.press('End');
        await page.waitForSelector('#preview[data-ready]');
        const last = expected[65534];
        assert.equal(await page.$eval('#list .row.active .name', (e) => e.textContent), last.name);
        assert.equal(await page.$eval('#list .row.active .index', (e) => e.textContent), '65534');
        assert.ok(await page.$eval('#list', (l) => l.scrollTop > 0 && l.scrollTop + l.clientHeight >= l.scrollHeight - 1));

        await page.fill('#filter', 'F6553');
        const matching = expected.filter((e) => e.name.toLowerCase().includes('f6553'));
        assert.equal(await page.evaluate(() => document.body.dataset.rows), String(matching.length));
        assert.deepEqual((await rowNames(page)).sort(), matching.map((e) => e.name).sort());

        // Every entry as a .zip: neighbours read in a few slices, with progress; a cancel stops it.
        await view(page, 'folders');
        await everywhere(page, () => {
            globalThis.slices = 0;
            const slice = Blob.prototype.slice;
            Blob.prototype.slice = function (...a) { ++globalThis.slices; return slice.apply(this, a); };
        });
        await page.evaluate(() => {
            window.progressSeen = [];
            new MutationObserver(() => progressSeen.push(Number(document.getElementById('progress').value))).observe(document.getElementById('progress'), { attributes: true });
        });
        const zipStart = Date.now();
        const zip = await download(page, () => page.click('#save-all'));
        const zipMs = Date.now() - zipStart;
        const zipped = zipNames(zip);
        assert.equal(zipped.length, 65535);
        assert.equal(zipped[65534], expected[65534].name.replaceAll('\\', '/'));
        const slices = (await everywhere(page, () => globalThis.slices)).reduce((a, b) => a + b);
        const progressSeen = await page.evaluate(() => window.progressSeen);
        assert.ok(slices < 200, `${slices} slices read`);
        assert.ok(progressSeen.length >= 10 && progressSeen.at(-1) === 65535, JSON.stringify(progressSeen.slice(-3)));
        // Measured about 2 s (it took 270 s entry by entry); the bound leaves room for a busy machine.
        assert.ok(zipMs < 30_000, `${zipMs} ms`);
        await page.evaluate(() => {
            document.getElementById('save-all').click();
            document.getElementById('cancel').click();
        });
        await page.waitForFunction(() => /cancelled/.test(document.getElementById('status').textContent));
        assert.ok(await page.$eval('#task', (t) => t.hidden));

        // A directory past the first read is read to its end.
        const long = archive('long-names.qvr');
        assert.equal(await openFile(page, long), 'opened');
        assert.deepEqual(await listing(page), qvrList(long));

        // The opening asks for its first read and a guess at the directory before
        // either has come, then for the rest of the directory once: slices that
        // tile the file from its start to the directory's end, no byte twice.
        const dirEnd = Math.min(...expected.map((e) => e.offset));
        await everywhere(page, () => {
            const { slice, arrayBuffer, stream } = Blob.prototype;
            let arrived = 0;
            globalThis.asked = [];
            globalThis.unpatch = () => Object.assign(Blob.prototype, { slice, arrayBuffer, stream });
            Blob.prototype.slice = function (start, end) {
                globalThis.asked.push({ start, end, arrived });
                return slice.call(this, start, end);
            };
            // A slice read whole has come when all of it has; one read as it comes, with its first bytes.
            Blob.prototype.arrayBuffer = function () { return arrayBuffer.call(this).finally(() => ++arrived); };
            Blob.prototype.stream = function () {
                let first = true;
                return stream.call(this).pipeThrough(new TransformStream({
                    transform(bytes, out) {
                        if (first) (first = false), ++arrived;
                        out.enqueue(bytes);
                    },
                }));
            };
        });
        assert.equal(await openFile(page, file), 'opened');
        const [askedHere, ...askedInWorkers] = await everywhere(page, () => (globalThis.unpatch(), globalThis.asked));
        // The page's thread only walks; a worker reads.
        assert.deepEqual(askedHere, []);
        const asked = askedInWorkers.flat();
        assert.ok(asked.length === 3 && asked[0].start === 0 && asked.at(-1).end === dirEnd, JSON.stringify(asked));
        assert.ok(asked.every((a, k) => k === 0 || a.start === asked[k - 1].end), JSON.stringify(asked));
        assert.deepEqual(asked.map((a) => a.arrived > 0), [false, false, true]);
        assert.deepEqual(await listing(page), expected);
        // Its top folder, sorted again after another archive's, gives each folder its own entries.
        await page.focus('#list');
        await page.keyboard.press('End');
        const lastFolder = await page.$eval('#list .row.active .name', (e) => e.textContent);
        const inLastFolder = expected.filter((e) => e.name.startsWith(`${lastFolder}\\`));
        await page.keyboard.press('Enter');
        await page.waitForFunction((name) => document.querySelector('#path [aria-current]')?.textContent === name, lastFolder);
        assert.equal(await page.evaluate(() => document.body.dataset.rows), String(inLastFolder.length));
        assert.equal(await page.$eval('#list .row .index', (e) => e.textContent), String(inLastFolder[0].index));
        // Slices that come back short are asked for again from where they stopped,
        // and entries cut between slices are walked whole.
        await everywhere(page, () => {
            const { arrayBuffer, stream } = Blob.prototype;
            globalThis.unpatch = () => Object.assign(Blob.prototype, { arrayBuffer, stream });
            Blob.prototype.arrayBuffer = async function () { return (await arrayBuffer.call(this)).slice(0, 400_000); };
            Blob.prototype.stream = function () { return stream.call(this.slice(0, 400_000)); };
        });
        assert.equal(await openFile(page, file), 'opened');
        await everywhere(page, () => globalThis.unpatch());
        assert.deepEqual(await listing(page), expected);

        // Opening against reading the directory's bytes alone, in turns. Each
        // opening is of a file just picked, whose first read costs the browser
        // several milliseconds more than the next; so is each plain read. The
        // same bytes read again from that file are recorded beside it.
        await page.evaluate(() => document.body.append(Object.assign(document.createElement('input'), { type: 'file', id: 'bench' })));
        const opening = [];
        const reading = [];
        const readingAgain = [];
        for (let k = 0; k < 7; ++k) {
            await page.setInputFiles('#bench', []);
            await page.setInputFiles('#bench', file);
            const [fresh, again] = await page.evaluate(async (end) => {
                const f = document.getElementById('bench').files[0];
                const times = [];
                for (let turn = 0; turn < 2; ++turn) {
                    const t = performance.now();
                    await f.slice(34, end).arrayBuffer();
                    times.push(performance.now() - t);
                }
                return times;
            }, dirEnd);
            reading.push(fresh);
            readingAgain.push(again);
            assert.equal(await openFile(page, file), 'opened');
            opening.push(await page.evaluate(() => performance.getEntriesByName('qvr:open')[0].duration));
        }
        assert.deepEqual(requests.filter((u) => !u.startsWith('file:') && !/^(blob|data):/.test(u)), []);
        const ratio = median(opening) / median(reading);
        const fastest = Math.min(...opening) / median(reading);
        record({
            directoryBytes: dirEnd - 34, openMs: median(opening), readMs: median(reading), ratio, fastest,
            readAgainMs: median(readingAgain), ratioToReadAgain: median(opening) / median(readingAgain),
            opening, reading, readingAgain, zipMs,
        });
        // On a busy machine the median ratio ran from 0.8 to 5 (bench/README.md):
        // the plain read took 10 to 50 ms and a turn now and then stalls. A stall only
        // ever adds, so the bound is on the fastest opening (at most 3.1 in those runs);
        // work of the old kind on opening (every name decoded, the whole tree built:
        // 7.2 times) fails here.
        assert.ok(fastest < 5, `the fastest opening took ${fastest.toFixed(2)} times the read`);
    },

    async cp932({ page }) {
        const file = archive('cp932.qvr');
        await page.setViewportSize({ width: 380, height: 760 });
        await load(page);
        assert.equal(await openFile(page, file), 'opened');
        assert.match(await page.$eval('#encoding option[value=""]', (o) => o.textContent), /Shift_JIS/);
        assert.deepEqual(await listing(page), qvrList(file, '--encoding', 'CP932'));
        // Left to guess, the tool reads the names as the page does.
        assert.deepEqual(await listing(page), qvrList(file));
        assert.deepEqual((await rowNames(page)).sort(), ['日本語', '画像', '能力.txt', '表', '音.wav'].sort());
        assert.equal(await choose(page, '音.wav'), 'audio');
        await page.waitForFunction(() => Math.abs(document.querySelector('#preview audio[controls]')?.duration - 0.1) < 0.01);

        // Narrow: nothing wider than the screen, list and preview both there.
        assert.ok(await page.evaluate(() => document.documentElement.scrollWidth <= innerWidth));
        await view(page, 'flat');
        assert.equal(await choose(page, '表\\ソース.txt'), 'text');
        assert.equal(await page.$eval('#preview pre.text', (e) => e.textContent), 'こんにちは\r\n');
        assert.equal(await choose(page, '画像\\表紙.bmp'), 'image');
        await quadrants(page, 64, 48);

        // The gallery of the folder 画像 holds its one image, drawn.
        await view(page, 'folders');
        await page.dblclick('#list .row:has(.name:text-is("画像"))');
        await view(page, 'gallery');
        await page.waitForSelector('#gallery .tile[data-drawn=true]');
        assert.equal((await page.$$('#gallery .tile')).length, 1);

        // Names that are all UTF-8 are read as UTF-8.
        assert.equal(await openFile(page, archive('utf8.qvr')), 'opened');
        assert.match(await page.$eval('#encoding option[value=""]', (o) => o.textContent), /UTF-8/);
        assert.deepEqual(await listing(page), qvrList(archive('utf8.qvr')));
        // Also when the first eight bytes of a name are ASCII: a byte that is no UTF-8 past them still counts.
        assert.equal(await openFile(page, archive('utf8-late.qvr')), 'opened');
        assert.match(await page.$eval('#encoding option[value=""]', (o) => o.textContent), /UTF-8/);
        assert.deepEqual(await listing(page), qvrList(archive('utf8-late.qvr')));
        assert.equal(await openFile(page, archive('cp932-late.qvr')), 'opened');
        assert.match(await page.$eval('#encoding option[value=""]', (o) => o.textContent), /Shift_JIS/);
        assert.deepEqual(await listing(page), qvrList(archive('cp932-late.qvr'), '--encoding', 'CP932'));
        assert.equal(await openFile(page, file), 'opened');

        // The switch: the same bytes read as UTF-8 are not these names.
        await page.selectOption('#encoding', 'utf-8');
        await view(page, 'flat');
        assert.ok((await rowNames(page)).some((n) => n.includes('\ufffd')));
    },

    async damaged({ page, errors }) {
        await load(page);
        const file = archive('damaged.qvr');
        assert.equal(await openFile(page, file), 'damaged');
        const status = await page.textContent('#status');
        assert.match(status, /directory ends inside entry 5; 5 of 7 entries/);
        assert.match(status, /2 entries have data that run past the end/);
        assert.deepEqual(await listing(page), qvrList(file));
        await view(page, 'flat');
        assert.deepEqual(await page.$$eval('#list .row.cut .name', (els) => els.map((e) => e.textContent).sort()), ['part3.txt', 'part4.txt']);
        assert.equal(await choose(page, 'part3.txt'), 'text');
        assert.match(await page.textContent('#preview .info'), /50 of 100 bytes present/);
        assert.equal((await page.$eval('#preview pre.text', (e) => e.textContent)).length, 50);

        const messages = { 'foreign.zip': /foreign\.zip is not a QVR archive/, 'cut-header.qvr': /not a QVR archive/, 'no-directory.qvr': /damaged QVR archive/ };
        for (const [name, message] of Object.entries(messages)) {
            await openFile(page, archive(name));
            assert.match(await page.textContent('#status'), message);
        }
        // An empty file has no bytes to read, and is still judged.
        const empty = path.join(work, 'empty.qvr');
        writeFileSync(empty, '');
        assert.equal(await openFile(page, empty), 'not-archive');

        // Dropped files: the sample cut at every length and with bytes changed, each opening ends.
        const sample = [...readFileSync(path.join(opt.samples, 'sample.qvr'))];
        const outcomes = await page.evaluate(async (bytes) => {
            const seen = {};
            let seed = 7;
            const rand = (n) => ((seed = (seed * 1103515245 + 12345) & 0x7fffffff) % n);
            for (let k = 0; k < 300; ++k) {
                const b = Uint8Array.from(bytes).subarray(0, k < 150 ? k * 3 : bytes.length);
                if (k >= 150) for (let f = 0; f < 4; ++f) b[rand(120)] = rand(256);
                const before = Number(document.body.dataset.opens ?? 0);
                const drop = new DataTransfer();
                drop.items.add(new File([b], `mutant-${k}.qvr`));
                document.dispatchEvent(new DragEvent('drop', { dataTransfer: drop, bubbles: true, cancelable: true }));
                while (Number(document.body.dataset.opens) === before) await new Promise((r) => setTimeout(r, 5));
                seen[document.body.dataset.state] = (seen[document.body.dataset.state] ?? 0) + 1;
            }
            return seen;
        }, sample);
        assert.ok(outcomes['not-archive'] > 0 && (outcomes.opened ?? 0) + (outcomes.damaged ?? 0) > 0, JSON.stringify(outcomes));
        assert.equal(await openFile(page, path.join(opt.samples, 'sample.qvr')), 'opened');

        // An opening that waits for its bytes says so, and then what it opened.
        await everywhere(page, () => {
            const { stream } = Blob.prototype;
            globalThis.unpatch = () => Object.assign(Blob.prototype, { stream });
            globalThis.held = true;
            Blob.prototype.stream = function () {
                const pieces = stream.call(this).getReader();
                return new ReadableStream({
                    async pull(out) {
                        while (globalThis.held) await new Promise((r) => setTimeout(r, 10));
                        const { done, value } = await pieces.read();
                        if (done) out.close();
                        else out.enqueue(value);
                    },
                });
            };
        });
        const before = await opens(page);
        await page.setInputFiles('#file', path.join(opt.samples, 'sample.qvr'));
        await page.waitForFunction(() => document.getElementById('status').textContent === 'Opening sample.qvr…', null, Long);
        await everywhere(page, () => (globalThis.held = false, globalThis.unpatch()));
        assert.equal(await afterOpening(page, before), 'opened');
        assert.match(await page.textContent('#status'), /^sample\.qvr: 3 entries/);

        // A directory whose bytes come in pieces cut anywhere opens as it does
        // whole: cut in two at each of its bytes (so each entry's fields and
        // name are split at every offset once), and a byte at a time.
        await view(page, 'flat');
        for (const [name, state] of [['hostile.qvr', 'opened'], ['damaged-long.qvr', 'damaged']]) {
            const file = archive(name);
            const dirEnd = qvrList(file)[0].offset;
            const headBlock = 306;  // qvr::HeadBlockSize: the core's first look at an archive
            assert.ok(dirEnd > headBlock, `${name}: a directory of ${dirEnd} bytes ends inside the core's first look`);
            const cuts = [[], ...Array.from({ length: dirEnd - 1 }, (_, k) => [k + 1]), Array(dirEnd).fill(1)];
            await everywhere(page, (cuts) => {
                const { stream, arrayBuffer } = Blob.prototype;
                globalThis.unpatch = () => Object.assign(Blob.prototype, { stream });
                globalThis.cuts = cuts;
                // Each read gives the next list of piece lengths, the rest in one last piece.
                Blob.prototype.stream = function () {
                    const blob = this;
                    const lengths = [...(globalThis.cuts.shift() ?? []), Infinity];
                    return new ReadableStream({
                        async start(out) {
                            const bytes = new Uint8Array(await arrayBuffer.call(blob));
                            for (let at = 0, k = 0; at < bytes.length; at += lengths[k++]) out.enqueue(bytes.slice(at, at + lengths[k]));
                            out.close();
                        },
                    });
                };
            }, cuts);
            const seen = await page.evaluate(async ({ bytes, name, turns }) => {
                const shown = () => [document.body.dataset.state, document.getElementById('status').textContent,
                    ...[...document.querySelectorAll('#list .row')].map((r) => r.getAttribute('aria-label')),
                    ...[...document.querySelectorAll('#note li')].map((l) => l.textContent)].join('\n');
                const out = [];
                for (let k = 0; k < turns; ++k) {
                    const before = Number(document.body.dataset.opens ?? 0);
                    const drop = new DataTransfer();
                    drop.items.add(new File([Uint8Array.from(bytes)], name));
                    document.dispatchEvent(new DragEvent('drop', { dataTransfer: drop, bubbles: true, cancelable: true }));
                    while (Number(document.body.dataset.opens) === before) await new Promise((r) => setTimeout(r, 1));
                    out.push(shown());
                }
                return out;
            }, { bytes: [...readFileSync(file)], name, turns: cuts.length });
            await everywhere(page, () => globalThis.unpatch());
            assert.ok(seen[0].startsWith(`${state}\n`), seen[0]);
            assert.equal(seen[0].split('\n').filter((l) => /, entry \d+/.test(l)).length, qvrList(file).length, seen[0]);
            seen.forEach((s, k) => assert.equal(s, seen[0], `${name} in pieces of ${JSON.stringify(cuts[k].slice(0, 2))}...`));
            // The last opening, a byte at a time, is the one on the page.
            assert.deepEqual(await listing(page), qvrList(file));
            if (state === 'damaged') assert.deepEqual(await noteLines(page), testLines(file));
        }
        assert.deepEqual(errors, []);
    },

    // Served, so that the page may write into its private folder as into a picked one.
    async hostile(browser) {
        const { server, origin } = await serve({ archives: opt.archives });
        try {
            await hostileNames(browser, origin);
            // A name whose folder is followed only by dropped components is a file of the top.
            await view(browser.page, 'folders');
            assert.equal(await openFile(browser.page, archive('dots.qvr')), 'opened');
            assert.deepEqual(await rowNames(browser.page), ['b', 'c', 'e', 'f', 'a', 'g', 'h']);
        } finally {
            server.close();
        }
    },

    async structure({ page }) {
        await load(page);
        const file = archive('structure.qvr');
        assert.equal(await openFile(page, file), 'damaged');
        assert.deepEqual(await noteLines(page), testLines(file));
        assert.equal((await noteLines(page)).length, 2);
        await view(page, 'flat');
        assert.deepEqual(await page.$$eval('#list .row.inside .name', (els) => els.map((e) => e.textContent)), ['s2.txt']);
        assert.deepEqual(await page.$$eval('#list .row.overlap .name', (els) => els.map((e) => e.textContent).sort()), ['s1.txt', 's3.txt']);
        await choose(page, 's2.txt');
        assert.match(await page.textContent('#preview .info'), /entry 2: data at byte 37 overlap the header or the directory entries/);

        // An empty archive: nothing to save, and the buttons say why.
        assert.equal(await openFile(page, archive('empty.qvr')), 'opened');
        assert.match(await page.textContent('#status'), /an empty archive/);
        for (const id of ['#save-all', '#save-folder', '#save-selection']) {
            assert.ok(await page.$eval(id, (b) => b.disabled), id);
            assert.ok((await page.$eval(id, (b) => b.title)).length > 0, id);
        }

        // An SVG is a picture with its size, shown by <img>, which runs no script; the view is remembered.
        assert.equal(await openFile(page, archive('svg.qvr')), 'opened');
        await view(page, 'flat');
        assert.equal(await choose(page, 'pictures\\picture.svg'), 'image');
        assert.match(await page.textContent('#preview .info'), /40 × 30 pixels \(SVG\)/);
        await page.click('#preview .zoom button[data-scale="1"]');
        assert.equal(await page.$eval('#preview img', (i) => i.getBoundingClientRect().width), 40);
        assert.equal(await page.evaluate(() => window.svgRan), undefined);
        // The folder itself is the top folder of "Folder as .zip"; its gallery draws the SVG too.
        await view(page, 'folders');
        await page.dblclick('#list .row:has(.name:text-is("pictures"))');
        await view(page, 'gallery');
        await page.waitForSelector('#gallery .tile[data-drawn=true]');
        await view(page, 'folders');
        assert.deepEqual(zipNames(await download(page, () => page.click('#save-folder'))), ['pictures/picture.svg']);

        // Closing returns to the start page.
        await view(page, 'flat');
        await page.click('#close');
        assert.ok(await page.isVisible('#start'));
        assert.equal(await page.title(), 'QVR viewer');
        await load(page);
        assert.equal(await page.$eval('#view', (v) => v.value), 'flat');
    },

    async typical({ page }) {
        const file = archive('typical.qvr');
        await load(page);
        assert.equal(await openFile(page, file), 'opened');
        assert.deepEqual(await listing(page), qvrList(file));

        // Ten entries in directory order: an image, a text, eight in hex.
        await view(page, 'flat');
        await page.click('[data-sort=index]');
        await page.focus('#list');
        const kinds = [];
        for (let k = 0; k < 10; ++k) {
            if (k) await page.keyboard.press('ArrowDown');
            await page.waitForFunction((i) => document.querySelector('#list .row.active .index')?.textContent === String(i) && document.querySelector('#preview[data-ready]'), k);
            kinds.push(await page.$eval('#preview', (p) => p.dataset.ready));
        }
        assert.deepEqual(kinds, ['image', 'text', ...Array(8).fill('hex')]);
        const heap = await page.evaluate(() => {
            const before = performance.memory.usedJSHeapSize;
            gc();
            return { beforeGc: before, afterGc: performance.memory.usedJSHeapSize };
        });
        record({ archiveBytes: readFileSync(file).length, heap });
        assert.ok(heap.afterGc <= 64 * 2 ** 20, `JavaScript heap ${heap.afterGc} bytes`);

        // Left and right in the preview step from image to image.
        await page.keyboard.press('Home');
        await page.waitForSelector('#preview[data-ready=image]');
        await page.focus('#preview');
        await page.keyboard.press('ArrowRight');
        await page.waitForFunction(() => document.querySelector('#list .row.active .index')?.textContent === '10' && document.querySelector('#preview[data-ready=image]'));
        await quadrants(page, await page.$eval('#preview img', (i) => i.naturalWidth), await page.$eval('#preview img', (i) => i.naturalHeight));
    },
};

const browser = await launch();
try {
    await scenarios[scenario](browser);
    assert.deepEqual(browser.errors, []);
    console.log(`${scenario}: passed`);
} finally {
    await browser.context.close();
    rmSync(work, { recursive: true, force: true });
}
