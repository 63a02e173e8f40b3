import assert from 'node:assert/strict';
import { test } from 'node:test';
import { planSave, noteLines, disguisedLines } from '../src/save.js';
import { components } from '../src/tree.js';

// Names with the refusal the archive library would give (0: none); the rule itself is not here.
function plan(entries, base = []) {
    const names = entries.map(([n]) => n);
    return planSave(names.map((_, i) => i), {
        parts: (i) => components(names[i]), refusal: (i) => entries[i][1], describe: (c) => `refusal ${c}`, base,
    });
}

test('refused names are left out with the rule\'s words, never renamed', () => {
    const { chosen, left } = plan([['ok.txt', 0], ['CON.txt', 12], ['', 1], ['a/b.txt', 0]]);
    assert.deepEqual(chosen, [[0, 'ok.txt'], [3, 'a/b.txt']]);
    assert.deepEqual(left, [
        { index: 1, reason: 'name would be refused on extraction: refusal 12' },
        { index: 2, reason: 'name would be refused on extraction: refusal 1' },
    ]);
});

test('the first entry of a path wins, and a file never stands where a folder must', () => {
    const { chosen, left } = plan([['a\\b', 0], ['a/b', 0], ['a', 0], ['c', 0], ['c\\d', 0], ['x\\.\\y', 0], ['x/y', 0]]);
    assert.deepEqual(chosen, [[0, 'a/b'], [3, 'c'], [5, 'x/y']]);
    assert.deepEqual(left.map((l) => [l.index, l.reason]), [
        [1, 'repeats entry 0'],
        [2, 'entry 0 needs this path as a folder; extraction would skip it'],
        [4, "entry 3 is a file where this name needs the folder 'c'; extraction would skip it"],
        [6, 'repeats entry 5'],
    ]);
});

test('paths start below the base, which keeps a saved folder as the top one', () => {
    const { chosen } = plan([['top\\docs\\a.txt', 0], ['top\\docs\\sub\\b.txt', 0]], ['top']);
    assert.deepEqual(chosen, [[0, 'docs/a.txt'], [1, 'docs/sub/b.txt']]);
});

test('the note names each entry with its escaped name', () => {
    assert.deepEqual(noteLines([{ index: 4, reason: 'why' }], () => 'bell\u0007.txt'), ["entry 4 'bell\\x07.txt': why"]);
});

test('written names that look otherwise are told with their escapes; plain ones are not', () => {
    const names = ['evil\u202egnp.exe', 'plain.txt', 'a\u200b/b.txt', 'rlm\u200f.txt'];
    const lines = disguisedLines(names.map((n, i) => [i, n]), (i) => names[i]);
    assert.deepEqual(lines.map((l) => l.split(':')[0]), [
        "entry 0 'evil\\xE2\\x80\\xAEgnp.exe'", "entry 2 'a\\xE2\\x80\\x8B/b.txt'", "entry 3 'rlm\\xE2\\x80\\x8F.txt'"]);
    assert.ok(lines.every((l) => l.endsWith('written under its stored name, which holds characters that change how it looks')));
});
