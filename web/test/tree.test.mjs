import assert from 'node:assert/strict';
import { test } from 'node:test';
import { buildTree, viewRows, typeOf, components } from '../src/tree.js';

test('a name\'s folders and file, without empty and "." parts', () => {
    assert.deepEqual(components('a\\.\\b//c.txt'), ['a', 'b', 'c.txt']);
    assert.deepEqual(components('/'), ['/']);
});

test('the type column is the extension, or File', () => {
    assert.deepEqual(['a.PNG', 'b.tar.gz', 'noext', '.hidden', 'trail.', 'x.verylongextension'].map(typeOf), ['PNG', 'GZ', 'File', 'File', 'File', 'File']);
});

test('names sort naturally and by locale, ties by index', () => {
    const names = ['img_10.txt', 'Zeta.txt', 'img_2.txt', 'Äpfel.txt', 'img_1.txt', 'apple.txt', 'IMG_1.txt'];
    const root = buildTree(names.length, null);
    const lower = () => names.map((n) => n.toLowerCase());
    const rows = viewRows({ folder: root, flat: true, filter: '', sort: { key: 'name', descending: false }, lower, nameOf: (i) => names[i], sizes: () => 0 });
    assert.deepEqual(rows.map((r) => names[r.index]), ['Äpfel.txt', 'apple.txt', 'img_1.txt', 'IMG_1.txt', 'img_2.txt', 'img_10.txt', 'Zeta.txt']);
});
