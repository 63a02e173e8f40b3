// The image entries of a folder as thumbnails. Which entries are images is
// told by their first bytes, read a few at a time in the background; a
// thumbnail is decoded only when its tile comes into sight, and drawn small.
import { sniff, SniffSize } from './preview.js';

const ThumbSize = 160;
const ProbesAtOnce = 8;

// A picture as a bitmap. createImageBitmap takes no SVG; an <img> does,
// and runs none of its scripts.
async function decodeImage(blob) {
    if (blob.type !== 'image/svg+xml') return createImageBitmap(blob);
    const url = URL.createObjectURL(blob);
    try {
        const img = new Image();
        img.src = url;
        await img.decode();
        return await createImageBitmap(img);
    } finally {
        URL.revokeObjectURL(url);
    }
}

export class Gallery {
    constructor(box, { onOpen, status }) {
        this.box = box;
        this.onOpen = onOpen;  // (entry index) a tile was chosen
        this.status = status;
        this.generation = 0;
        this.observer = new IntersectionObserver((seen) => {
            for (const s of seen) {
                if (!s.isIntersecting) continue;
                this.observer.unobserve(s.target);
                this.draw(s.target);
            }
        }, { root: box, rootMargin: '200px' });
        box.addEventListener('keydown', (e) => this.key(e));
    }

    // Shows the images among `indexes` of `archive`; `names(i)` gives entry i's name.
    show(archive, indexes, names) {
        const generation = ++this.generation;
        this.archive = archive;
        this.box.replaceChildren();
        this.observer.disconnect();
        this.tiles = [];
        let next = 0;
        let done = 0;
        const report = () => this.status(`${this.tiles.length} images (${done} of ${indexes.length} entries looked at)`);
        report();
        const probe = async () => {
            while (next < indexes.length && generation === this.generation) {
                const at = next++;
                const i = indexes[at];
                const what = sniff(await archive.head(i, SniffSize), '');
                if (generation !== this.generation) return;
                ++done;
                if (what.kind === 'image') this.add(i, names(i), what.type, at);
                if (done % 64 === 0 || done === indexes.length) report();
            }
        };
        return Promise.all(Array.from({ length: ProbesAtOnce }, probe)).then(() => {
            if (generation === this.generation) this.box.dataset.done = 'true';
        });
    }

    // Tiles are kept in the order of the entries, whichever probe finds them first.
    add(index, name, type, order) {
        const tile = document.createElement('button');
        tile.className = 'tile';
        tile.dataset.index = index;
        tile.dataset.order = order;
        tile.dataset.type = type;
        tile.title = name;
        const canvas = document.createElement('canvas');
        canvas.width = canvas.height = ThumbSize;
        const label = document.createElement('span');
        label.textContent = name.split(/[\\/]/).pop();
        tile.append(canvas, label);
        tile.addEventListener('click', () => this.onOpen(index));
        // One Tab stop for the whole gallery: the first tile found, then whichever the arrows reach.
        tile.tabIndex = this.tiles.length ? -1 : 0;
        const after = this.tiles.findIndex((t) => Number(t.dataset.order) > order);
        if (after < 0) {
            this.box.append(tile);
            this.tiles.push(tile);
        } else {
            this.tiles[after].before(tile);
            this.tiles.splice(after, 0, tile);
        }
        this.observer.observe(tile);
    }

    async draw(tile) {
        const generation = this.generation;
        try {
            const blob = await this.archive.data(Number(tile.dataset.index), tile.dataset.type);
            const bitmap = await decodeImage(blob);
            if (generation !== this.generation) return bitmap.close();
            const canvas = tile.querySelector('canvas');
            const scale = Math.min(ThumbSize / bitmap.width, ThumbSize / bitmap.height, 1);
            const w = Math.max(1, Math.round(bitmap.width * scale));
            const h = Math.max(1, Math.round(bitmap.height * scale));
            canvas.getContext('2d').drawImage(bitmap, (ThumbSize - w) / 2, (ThumbSize - h) / 2, w, h);
            bitmap.close();
            tile.dataset.drawn = 'true';
        } catch {
            tile.dataset.drawn = 'failed';
            tile.classList.add('broken');
        }
    }

    key(e) {
        const at = this.tiles.indexOf(document.activeElement);
        if (at < 0) return;
        const columns = Math.max(1, Math.round(this.box.clientWidth / (this.tiles[0].offsetWidth || ThumbSize)));
        const moves = { ArrowRight: 1, ArrowLeft: -1, ArrowDown: columns, ArrowUp: -columns };
        if (!(e.key in moves)) return;
        e.preventDefault();
        const to = this.tiles[Math.max(0, Math.min(this.tiles.length - 1, at + moves[e.key]))];
        for (const t of this.tiles) t.tabIndex = t === to ? 0 : -1;
        to.focus();
        to.scrollIntoView({ block: 'nearest' });
    }

    stop() {
        ++this.generation;
        this.observer.disconnect();
    }
}
