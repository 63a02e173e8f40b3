import assert from 'node:assert/strict';
import { test } from 'node:test';
import { escapeName } from '../src/names.js';

test('characters that change how a name looks become escapes; others stay', () => {
    const cases = [
        ['evil\u202egnp.exe', 'evil\\xE2\\x80\\xAEgnp.exe'],
        ['a\u0000b', 'a\\x00b'],
        ['esc\u001b[31m', 'esc\\x1B[31m'],
        ['line\nbreak\u0085', 'line\\x0Abreak\\xC2\\x85'],
        ['\u2066isolate\u2069', '\\xE2\\x81\\xA6isolate\\xE2\\x81\\xA9'],
        ['zero\u200bwidth\ufeff', 'zero\\xE2\\x80\\x8Bwidth\\xEF\\xBB\\xBF'],
        ['Äpfel 日本語 \\ / . tab\u00a0', 'Äpfel 日本語 \\ / . tab\u00a0'],
        ['', ''],
    ];
    for (const [name, shown] of cases) assert.equal(escapeName(name), shown, JSON.stringify(name));
});
