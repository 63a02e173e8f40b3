// Assembles qvr-viewer.html: the page's modules bundled with the format
// core (its WebAssembly as base64), and the style sheet, all inside one
// HTML file that works from file:// and fetches nothing.
//
//   node build.mjs --core path/to/qvr_core.mjs --out path/to/qvr-viewer.html
import { readFile, writeFile } from 'node:fs/promises';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { parseArgs } from 'node:util';
import * as esbuild from 'esbuild';

const here = path.dirname(fileURLToPath(import.meta.url));
const { values: args } = parseArgs({ options: { core: { type: 'string' }, out: { type: 'string' } } });
if (!args.core || !args.out) {
    console.error('usage: node build.mjs --core QVR_CORE_MJS --out HTML');
    process.exit(2);
}
const corePath = path.resolve(args.core);
const wasmPath = corePath.replace(/\.mjs$/, '.wasm');

// 'qvr-core' is the emscripten module; 'qvr-core-wasm' its binary as text.
const coreModules = {
    name: 'qvr-core',
    setup(build) {
        build.onResolve({ filter: /^qvr-core$/ }, () => ({ path: corePath }));
        build.onResolve({ filter: /^qvr-core-wasm$/ }, () => ({ path: wasmPath, namespace: 'wasm-base64' }));
        build.onLoad({ filter: /.*/, namespace: 'wasm-base64' }, async (a) => ({
            contents: `export default ${JSON.stringify((await readFile(a.path)).toString('base64'))};`,
            loader: 'js',
        }));
    },
};

const bundle = await esbuild.build({
    entryPoints: [path.join(here, 'src/main.js')],
    bundle: true,
    format: 'esm',
    target: 'es2022',
    minify: true,
    legalComments: 'inline',
    write: false,
    plugins: [coreModules],
});
if (bundle.errors.length) process.exit(1);

// Inside <script> and <style>, "</" could end the element early.
const script = bundle.outputFiles[0].text.replaceAll('</script', '<\\/script');
const style = (await readFile(path.join(here, 'src/style.css'), 'utf8')).replaceAll('</style', '<\\/style');
const page = await readFile(path.join(here, 'src/index.html'), 'utf8');
const parts = page.split(/<!--\s*(STYLE|SCRIPT)\s*-->/);
if (parts.length !== 5) throw new Error('index.html must hold one <!-- STYLE --> and one <!-- SCRIPT --> mark');
const html = parts.map((p, i) => (i % 2 === 0 ? p : p === 'STYLE' ? `<style>\n${style}</style>` : `<script type="module">${script}</script>`)).join('');
await writeFile(args.out, html);
console.log(`${args.out}: ${Math.round(html.length / 1024)} KiB`);
