// The entry list: only the rows in sight (and a few beside them) are in the
// page, whatever the number of entries, placed over a spacer as tall as all
// rows would be. Keyboard: arrows, Page Up/Down, Home/End move; Shift
// extends the selection, Space toggles a row, Ctrl+A selects all; Enter
// opens a folder; Backspace goes up.

const Overscan = 8;

export class EntryList {
    constructor(scroller, { describe, onActivate, onOpen, onUp, onSelectionChange }) {
        this.scroller = scroller;
        this.spacer = scroller.querySelector('.spacer');
        this.describe = describe;  // (row, element) fills a row element
        this.onActivate = onActivate;  // the active row changed
        this.onOpen = onOpen;  // Enter or double click on a row
        this.onUp = onUp;
        this.onSelectionChange = onSelectionChange;
        this.rows = [];
        this.active = -1;
        this.anchor = -1;
        this.selected = new Set();  // row keys
        this.pool = new Map();  // row position -> element
        this.rowHeight = 0;
        // The scroller's position and height as its events last told them:
        // asking the scroller itself would lay the page out again at once.
        this.top = 0;
        this.height = 0;
        scroller.addEventListener('scroll', () => {
            this.top = scroller.scrollTop;
            this.schedule();
        });
        scroller.addEventListener('keydown', (e) => this.key(e));
        scroller.addEventListener('click', (e) => this.click(e));
        scroller.addEventListener('dblclick', (e) => {
            const at = this.rowAt(e);
            if (at >= 0) this.onOpen(this.rows[at]);
        });
        // Drawn before the frame is painted, so that a list just shown is never seen part drawn.
        new ResizeObserver(() => {
            this.height = scroller.clientHeight;
            this.render();
        }).observe(scroller);
    }

    setRows(rows, { keepSelection = false } = {}) {
        this.rows = rows;
        if (!keepSelection) this.selected.clear();
        this.active = rows.length ? 0 : -1;
        // The first row is selected as well as shown, so that a save acts on what is seen.
        if (!keepSelection && rows.length) this.selected.add(rows[0].key);
        this.anchor = this.active;
        if (this.top !== 0) this.scroller.scrollTop = this.top = 0;
        this.spacer.replaceChildren();
        this.pool.clear();
        this.render();
        this.onSelectionChange();
        this.onActivate(this.activeRow);
    }

    get activeRow() { return this.active >= 0 ? this.rows[this.active] : null; }
    get selectedRows() { return this.rows.filter((r) => this.selected.has(r.key)); }

    measure() {
        if (!this.rowHeight) this.rowHeight = parseFloat(getComputedStyle(this.scroller).getPropertyValue('--row-height')) || 28;
        return this.rowHeight;
    }

    schedule() {
        if (this.pending) return;
        this.pending = requestAnimationFrame(() => {
            this.pending = 0;
            this.render();
        });
    }

    render() {
        const h = this.measure();
        this.spacer.style.height = `${this.rows.length * h}px`;
        const first = Math.max(0, Math.floor(this.top / h) - Overscan);
        const last = Math.min(this.rows.length, Math.ceil((this.top + this.height) / h) + Overscan);
        for (const [at, el] of this.pool) {
            if (at < first || at >= last) {
                el.remove();
                this.pool.delete(at);
            }
        }
        // New rows go into the page together, as one change.
        const added = document.createDocumentFragment();
        for (let at = first; at < last; ++at) {
            let el = this.pool.get(at);
            if (!el) {
                el = document.createElement('div');
                el.className = 'row';
                el.setAttribute('role', 'option');
                el.id = `row-${at}`;
                el.style.transform = `translateY(${at * h}px)`;
                el.dataset.at = at;
                this.describe(this.rows[at], el);
                added.append(el);
                this.pool.set(at, el);
            }
            const row = this.rows[at];
            el.setAttribute('aria-selected', String(this.selected.has(row.key)));
            el.classList.toggle('active', at === this.active);
        }
        this.spacer.append(added);
        if (this.active >= 0 && this.pool.has(this.active)) this.scroller.setAttribute('aria-activedescendant', `row-${this.active}`);
        else this.scroller.removeAttribute('aria-activedescendant');
    }

    // Makes row `at` the active one and scrolls it into sight.
    moveTo(at, { extend = false, toggle = false, select = true } = {}) {
        if (!this.rows.length) return;
        at = Math.max(0, Math.min(this.rows.length - 1, at));
        this.active = at;
        if (extend && this.anchor >= 0) {
            this.selected.clear();
            const [a, b] = this.anchor < at ? [this.anchor, at] : [at, this.anchor];
            for (let k = a; k <= b; ++k) this.selected.add(this.rows[k].key);
        } else if (toggle) {
            const key = this.rows[at].key;
            if (this.selected.has(key)) this.selected.delete(key);
            else this.selected.add(key);
            this.anchor = at;
        } else if (select) {
            this.selected.clear();
            this.selected.add(this.rows[at].key);
            this.anchor = at;
        }
        const h = this.measure();
        const top = at * h;
        if (top < this.scroller.scrollTop) this.scroller.scrollTop = top;
        else if (top + h > this.scroller.scrollTop + this.scroller.clientHeight) this.scroller.scrollTop = top + h - this.scroller.clientHeight;
        this.top = this.scroller.scrollTop;
        this.height = this.scroller.clientHeight;
        this.render();
        this.onSelectionChange();
        this.onActivate(this.activeRow);
    }

    selectAll() {
        for (const r of this.rows) this.selected.add(r.key);
        this.render();
        this.onSelectionChange();
    }

    rowAt(e) {
        const el = e.target.closest('.row');
        return el ? Number(el.dataset.at) : -1;
    }

    click(e) {
        const at = this.rowAt(e);
        if (at < 0) return;
        this.moveTo(at, { extend: e.shiftKey, toggle: e.ctrlKey || e.metaKey });
    }

    key(e) {
        const page = Math.max(1, Math.floor(this.scroller.clientHeight / this.measure()) - 1);
        const moves = { ArrowDown: 1, ArrowUp: -1, PageDown: page, PageUp: -page };
        if (e.key in moves) this.moveTo(this.active + moves[e.key], { extend: e.shiftKey });
        else if (e.key === 'Home') this.moveTo(0, { extend: e.shiftKey });
        else if (e.key === 'End') this.moveTo(this.rows.length - 1, { extend: e.shiftKey });
        else if (e.key === ' ') this.moveTo(this.active, { toggle: true });
        else if (e.key === 'Enter' && this.activeRow) this.onOpen(this.activeRow);
        else if (e.key === 'Backspace' || (e.key === 'ArrowLeft' && e.altKey)) this.onUp();
        else if (e.key.toLowerCase() === 'a' && (e.ctrlKey || e.metaKey)) this.selectAll();
        else return;
        e.preventDefault();
    }
}
