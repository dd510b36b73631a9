// The line's supervisor page: draws the line server's state (one JSON object,
// sent whole on every change over /events). It only reads. Names, lots,
// serials and messages come from stations and people: they reach the DOM
// through textContent and attributes only, and are clipped by CSS with the
// whole text in a title. Every word is the catalog's, through I18n (i18n.js);
// a slot's state and hints use the station page's own keys.
'use strict';

(function () {
  const SVG_NS = 'http://www.w3.org/2000/svg';
  const STATE_VERSION = 1;
  const $ = (id) => document.getElementById(id);

  const I18n = window.I18n;
  const t = I18n.t;

  // ---------- small helpers ----------

  function el(tag, className, text) {
    const e = document.createElement(tag);
    if (className) e.className = className;
    if (text !== undefined) e.textContent = text;
    return e;
  }

  function str(v) {
    return v === null || v === undefined ? '' : String(v);
  }

  function num(v, fallback) {
    return typeof v === 'number' && isFinite(v) ? v : fallback;
  }

  function obj(v) {
    return v && typeof v === 'object' && !Array.isArray(v) ? v : {};
  }

  function list(v) {
    return Array.isArray(v) ? v.filter((x) => x && typeof x === 'object') : [];
  }

  // Setters that touch the DOM only when the value changed: most states
  // change one station's beat.
  function setText(node, text) {
    text = str(text);
    if (node.textContent !== text) node.textContent = text;
  }
  function setShown(node, shown) {
    if (node.hidden === shown) node.hidden = !shown;
  }
  function setAttr(node, name, value) {
    value = str(value);
    if (node.getAttribute(name) !== value) node.setAttribute(name, value);
  }
  function setFlag(node, name, on) {
    if (node.classList.contains(name) !== on) node.classList.toggle(name, on);
  }
  // Text that may be cut by its box: the whole of it in the title.
  function setClipped(node, text, title) {
    setText(node, text);
    setAttr(node, 'title', title === undefined ? text : title);
  }

  function svg(tag, attrs) {
    const e = document.createElementNS(SVG_NS, tag);
    for (const k in attrs) e.setAttribute(k, attrs[k]);
    return e;
  }

  // ---------- the station page's words and looks ----------

  function kindOf(state) {
    if (state === 'starting' || state === 'waiting') return 'idle';
    if (state === 'passed' || state === 'failed' || state === 'stopped') return state;
    if (state === 'already_current') return 'current';
    return 'work';
  }

  function stateWord(state) {
    return I18n.has('state.' + state) ? t('state.' + state) : state.toUpperCase();
  }

  function hintText(h) {
    if (!h || typeof h !== 'object') return str(h);
    const name = str(h.hint);
    return I18n.has('hint.' + name) ? t('hint.' + name, obj(h.facts)) : name;
  }

  // The same shapes as the station's tiles: they need no font.
  const ICON_PATHS = {
    passed: ['M4 12.5l5 5L20 6.5'],
    failed: ['M5.5 5.5l13 13', 'M18.5 5.5l-13 13'],
    current: ['M5 9h14', 'M5 15h14'],
    work: ['M19 12a7 7 0 1 1-2.05-4.95', 'M19.5 4.5v4h-4'],
    idle: ['M7 3.5h10', 'M7 20.5h10', 'M8 3.5c0 5 8 5.5 8 8.5s-8 3.5-8 8.5', 'M16 3.5c0 5-8 5.5-8 8.5s8 3.5 8 8.5'],
    stopped: ['M6.5 6.5h11v11h-11z'],
  };
  function makeIcon(kind) {
    const s = svg('svg', { viewBox: '0 0 24 24', 'aria-hidden': 'true', focusable: 'false' });
    for (const d of ICON_PATHS[kind] || ICON_PATHS.idle) {
      s.appendChild(svg('path', {
        d, fill: kind === 'stopped' ? 'currentColor' : 'none', stroke: 'currentColor',
        'stroke-width': kind === 'idle' ? '2.4' : '3.4', 'stroke-linecap': 'round', 'stroke-linejoin': 'round',
      }));
    }
    return s;
  }

  // A state word's widest line in ems when broken on two lines at most, and
  // on one: a long word (IDENTIFICACIÓN) is sized to the tile, not cut.
  // The font is read once per language: reading it per tile would make the
  // browser work out the page's styles again for each.
  let measure = null;
  const widths = new Map();
  const fonts = new Map();
  function emWidths(text, node) {
    let f = fonts.get(I18n.lang);
    if (!f) {
      const cs = getComputedStyle(node);
      f = [cs.fontWeight + ' 100px ' + cs.fontFamily, cs.fontStretch === '75%' ? 'condensed' : 'normal'];
      fonts.set(I18n.lang, f);
    }
    const key = f.join('|') + '|' + text;
    let w = widths.get(key);
    if (w === undefined) {
      if (!measure) measure = document.createElement('canvas').getContext('2d');
      measure.font = f[0];
      if ('fontStretch' in measure) measure.fontStretch = f[1];
      const words = text.split(/\s+/).filter(Boolean);
      const width = (line) => measure.measureText(line).width / 100;
      const one = width(words.join(' '));
      let two = one;
      for (let i = 1; i < words.length; i++) {
        two = Math.min(two, Math.max(width(words.slice(0, i).join(' ')), width(words.slice(i).join(' '))));
      }
      w = { one, two };
      widths.set(key, w);
    }
    return w;
  }

  // ---------- times ----------

  // The server's clock: ages are measured against it, not this PC's.
  let clockOffset = 0;
  function nowMs() {
    return Date.now() + clockOffset;
  }

  function dateOf(value) {
    if (typeof value !== 'string' || !value) return null;
    const d = new Date(value);
    return isNaN(d.getTime()) ? null : d;
  }

  const dayFormats = new Map();
  function dayText(d) {
    const locale = document.documentElement.lang || 'en';
    let f = dayFormats.get(locale);
    if (!f) {
      f = new Intl.DateTimeFormat(locale, { dateStyle: 'medium' });
      dayFormats.set(locale, f);
    }
    return f.format(d);
  }

  // A moment as a time of day, with its day when that is not today.
  function when(value) {
    const d = value instanceof Date ? value : dateOf(value);
    if (!d) return '';
    if (d.toDateString() === new Date(nowMs()).toDateString()) return I18n.clock(d);
    return t('line.dayTime', { day: dayText(d), time: I18n.hoursMinutes(d) });
  }

  function ageText(seconds) {
    return seconds < 59.5 ? I18n.unit(Math.round(seconds), 'second', 0) : I18n.duration(seconds);
  }

  // ---------- figures ----------

  function countsOf(c) {
    c = obj(c);
    return { passed: num(c.passed, 0), failed: num(c.failed, 0), current: num(c.already_current, 0) };
  }

  // The share that passed or was current already; null with no records.
  function yieldOf(c) {
    const all = c.passed + c.failed + c.current;
    return all > 0 ? ((c.passed + c.current) / all) * 100 : null;
  }

  function yieldText(c) {
    const y = yieldOf(c);
    if (y === null) return '\u2013';
    // 99.96 is not 100: one decimal, and never rounded up to a full yield
    const shown = y < 100 ? Math.min(Math.floor(y * 10) / 10, 99.9) : 100;
    return I18n.unit(shown, 'percent', y < 100 ? 1 : 0);
  }

  function resultsTitle(c) {
    return t('results.summary', { count: c.passed + c.failed + c.current, ...c });
  }

  // ---------- a station's card ----------

  function buildCounts() {
    const box = el('span', 'counts');
    const parts = {};
    for (const [k, icon] of [['passed', '\u2713'], ['failed', '\u2717'], ['current', '=']]) {
      const part = el('span', 'count count-' + k);
      part.append(el('span', 'count-icon', icon), (parts[k] = el('span', 'count-number', '0')));
      box.append(part);
    }
    return { box, parts };
  }

  function buildField(key) {
    const field = el('span', 'field');
    const label = el('span', 'field-label');
    label.dataset.key = key;
    const value = el('span', 'field-value data');
    field.append(label, value);
    return { field, label, value };
  }

  function buildCard() {
    const c = { tiles: [], slotsShape: null };
    const root = el('article', 'card');

    const head = el('div', 'card-head');
    c.name = el('h2', 'card-name data');
    c.revoked = el('span', 'mark mark-revoked');
    c.badge = el('span', 'badge');
    c.counts = buildCounts();
    head.append(c.name, c.counts.box, c.revoked, c.badge);

    const sub = el('div', 'card-sub');
    c.heard = el('span', 'heard');
    c.run = el('span', 'mark mark-run');
    c.waiting = el('span', 'chip chip-waiting');
    c.lineDown = el('span', 'chip chip-down');
    sub.append(c.heard, c.run, c.waiting, c.lineDown);

    const body = el('div', 'card-body');
    const meta = el('div', 'card-meta');
    c.fields = { operator: buildField('line.field.operator'), lot: buildField('line.field.lot'),
      image: buildField('line.field.image') };
    meta.append(c.fields.operator.field, c.fields.lot.field, c.fields.image.field);
    c.none = el('div', 'card-none');
    c.grid = el('div', 'tiles');
    body.append(meta, c.none, c.grid);

    root.append(head, sub, body);
    c.root = root;
    return c;
  }

  function heardText(station) {
    const d = dateOf(station.lastHeard);
    if (!d) return { text: t('line.station.neverHeard'), title: '' };
    const age = Math.max(0, (nowMs() - d.getTime()) / 1000);
    const at = t('line.station.heardAt', { time: when(d) });
    const ago = t('line.station.heardAgo', { duration: ageText(age) });
    // An offline station's last beat is read by its time; an online one's by its age.
    return station.online === true ? { text: ago, title: at } : { text: at, title: ago };
  }

  function drawHeard(c, station) {
    const h = heardText(station);
    setClipped(c.heard, h.text, h.title);
  }

  function drawHead(c, station) {
    const name = str(station.name);
    setClipped(c.name, name);
    const online = station.online === true;
    setFlag(c.root, 'offline', !online);
    setText(c.badge, t(online ? 'line.station.online' : 'line.station.offline'));
    setFlag(c.badge, 'online', online);
    const revoked = station.revoked === true;
    setFlag(c.root, 'revoked', revoked);
    setShown(c.revoked, revoked);
    setText(c.revoked, revoked ? t('line.station.revoked') : '');
    setAttr(c.revoked, 'title', revoked ? t('line.station.revokedTitle') : '');
    drawHeard(c, station);
  }

  function drawSpool(c, beat) {
    const waiting = num(beat.waiting, 0);
    const oldest = when(beat.oldestWaiting);
    setShown(c.waiting, waiting > 0);
    if (waiting > 0) {
      setClipped(c.waiting, t('line.spool.waiting', { count: waiting }),
        oldest ? t('line.spool.oldest', { time: oldest }) : '');
    }
    const down = when(beat.lineDownSince);
    setShown(c.lineDown, down !== '');
    if (down) setClipped(c.lineDown, t('line.spool.lineDown', { time: down }));
  }

  function drawMeta(c, beat) {
    const image = obj(beat.image);
    const software = str(image.software);
    const values = {
      operator: str(beat.operator),
      lot: str(beat.lot),
      image: str(image.name) + (software ? ' \u00B7 ' + software : ''),
    };
    for (const k in c.fields) {
      const f = c.fields[k];
      setText(f.label, t(f.label.dataset.key));
      setClipped(f.value, values[k], t(f.label.dataset.key) + ': ' + values[k]);
      setShown(f.field, values[k] !== '');
    }
    const counts = countsOf(beat.counts);
    for (const k in counts) setText(c.counts.parts[k], I18n.number(counts[k]));
    setAttr(c.counts.box, 'title', resultsTitle(counts));
  }

  function drawRun(c, beat) {
    const key = beat.ended === true ? 'line.station.ended' : beat.stopping === true ? 'line.station.stopping' : '';
    setShown(c.run, key !== '');
    setText(c.run, key ? t(key) : '');
  }

  function updateCard(c, station) {
    drawHead(c, station);
    const beat = station.beat && typeof station.beat === 'object' ? station.beat : null;
    setShown(c.none, !beat);
    setText(c.none, beat ? '' : t('line.station.noBeat'));
    const b = beat || {};
    drawRun(c, b);
    drawSpool(c, b);
    drawMeta(c, b);
    const slots = list(b.slots);
    const shape = slots.map((s) => str(s.label)).join('\n') + '|' + slots.length;
    if (shape !== c.slotsShape) {
      c.slotsShape = shape;
      c.tiles = slots.map(() => buildTile());
      c.grid.replaceChildren(...c.tiles.map((tile) => tile.root));
      c.laidOut = '';
      layoutSoon();
    }
    slots.forEach((s, i) => updateTile(c.tiles[i], s, i));
  }

  // ---------- a slot's tile ----------

  function buildTile() {
    const tile = { cache: {} };
    const root = el('div', 'tile');
    const head = el('div', 'tile-head');
    tile.label = el('span', 'tile-label data');
    tile.icon = el('span', 'tile-icon');
    head.append(tile.label, tile.icon);
    tile.word = el('div', 'tile-word');
    tile.progress = el('div', 'tile-progress');
    tile.bar = el('div', 'bar');
    tile.fill = el('div', 'fill');
    tile.bar.append(tile.fill);
    tile.percent = el('span', 'percent');
    tile.progress.append(tile.bar, tile.percent);
    tile.hint = el('div', 'tile-hint');
    root.append(head, tile.word, tile.progress, tile.hint);
    tile.root = root;
    return tile;
  }

  function slotState(s) {
    return str(s.state) || str(s.result) || str(s.phase) || 'waiting';
  }

  function updateTile(tile, s, index) {
    const c = tile.cache;
    const state = slotState(s);
    const kind = kindOf(state);
    const label = str(s.label) || t('tile.slot', { number: index + 1 });
    setText(tile.label, label);
    if (c.state !== state || c.lang !== I18n.lang) {
      c.state = state;
      c.lang = I18n.lang;
      tile.root.dataset.state = state;
      const word = stateWord(state);
      setText(tile.word, word);
      const w = emWidths(word, tile.word);
      tile.root.style.setProperty('--fit-one', (96 / Math.max(0.5, w.one)).toFixed(2));
      tile.root.style.setProperty('--fit-two', (96 / Math.max(0.5, w.two)).toFixed(2));
    }
    if (c.kind !== kind) {
      if (c.kind) tile.root.classList.remove('k-' + c.kind);
      tile.root.classList.add('k-' + kind);
      c.kind = kind;
      tile.icon.replaceChildren(makeIcon(kind));
    }

    const sent = num(s.sent, 0), total = num(s.total, 0);
    const showBar = kind === 'work' && total > 0;
    setShown(tile.progress, showBar);
    let sentText = '';
    if (showBar) {
      const percent = Math.max(0, Math.min(100, Math.floor((sent / total) * 100)));
      tile.fill.style.width = percent + '%';
      setText(tile.percent, I18n.percent(percent));
      sentText = t('tile.sent', { sent: I18n.kilobytes(sent), total: I18n.kilobytes(total) });
    }

    const hints = list(s.hints).map(hintText).filter(Boolean);
    const hint = state === 'failed' && hints.length ? hints[0] : '';
    setShown(tile.hint, hint !== '');
    setText(tile.hint, hint);

    const title = [t('line.tile.title', { label, state: stateWord(state) }), sentText, ...hints];
    setAttr(tile.root, 'title', title.filter(Boolean).join('\n'));
  }

  // ---------- the cards' layout ----------

  // Every state a slot can show: the widest word among them sets how narrow
  // a tile may be, whichever are shown now, so the grid does not jump.
  const STATES = ['starting', 'waiting', 'handshake', 'identity', 'key-code', 'flash-erase', 'parameter-erase',
    'upload', 'start', 'done', 'leaving', 'monitor', 'passed', 'failed', 'already_current', 'stopped'];
  const WORD_PX = 10; // the least a state word is drawn at, in pixels
  const TILE_PAD = 12; // a tile's borders and padding
  const needs = new Map();
  function tileWidthNeeded() {
    const node = document.querySelector('.tile-word');
    if (!node) return 0;
    let need = needs.get(I18n.lang);
    if (need === undefined) {
      need = Math.max(...STATES.map((s) => emWidths(stateWord(s), node).two)) * WORD_PX + TILE_PAD;
      needs.set(I18n.lang, need);
    }
    return need;
  }

  // The tiles' columns and rows for `n` tiles in w x h: the biggest square
  // in each, as a tile's lines stack and its words size to its height too;
  // narrower than `need` only when nothing else fits.
  function bestGrid(n, w, h, gap, need) {
    let best = { cols: 1, rows: n, score: -1 };
    for (let cols = 1; cols <= Math.max(1, n); cols++) {
      const rows = Math.ceil(n / cols);
      const tw = (w - (cols - 1) * gap) / cols, th = (h - (rows - 1) * gap) / rows;
      const score = Math.min(tw, th) * (tw < need ? 0.5 : 1);
      if (score > best.score) best = { cols, rows, score };
    }
    return best;
  }

  const CARD_CHROME = 84; // a card's head and lines above its tiles, about
  const CARD_GAP = 8, TILE_GAP = 4;

  function layout() {
    layoutTimer = 0;
    const box = $('stations-box');
    const grid = $('stations');
    const n = cards.length;
    const width = grid.clientWidth, height = box.clientHeight - 2 * CARD_GAP;
    if (!n || width <= 0 || height <= 0) return;
    // The card shape whose tiles, in the fullest card, come out biggest.
    const most = Math.max(1, ...cards.map((c) => c.tiles.length));
    const need = tileWidthNeeded();
    let best = { cols: 1, score: -1 };
    for (let cols = 1; cols <= n; cols++) {
      const rows = Math.ceil(n / cols);
      const w = (width - (cols - 1) * CARD_GAP) / cols, h = (height - (rows - 1) * CARD_GAP) / rows;
      let score = bestGrid(most, w - 12, h - CARD_CHROME, TILE_GAP, need).score;
      if (n % cols !== 0) score *= 0.97; // a full last row reads as a line
      if (score > best.score) best = { cols, rows, score };
    }
    grid.style.setProperty('--cols', String(best.cols));
    grid.style.setProperty('--rows', String(best.rows));
    const cellH = (height - (best.rows - 1) * CARD_GAP) / best.rows;
    // All reads, then all writes: one layout, not one per card.
    const sizes = cards.map((c) => [c.grid.clientWidth, cellH - (c.root.offsetHeight - c.grid.offsetHeight)]);
    cards.forEach((c, i) => {
      const g = bestGrid(Math.max(1, c.tiles.length), sizes[i][0], sizes[i][1], TILE_GAP, need);
      const key = g.cols + 'x' + g.rows;
      if (c.laidOut === key) return;
      c.laidOut = key;
      c.grid.style.setProperty('--tcols', String(g.cols));
      c.grid.style.setProperty('--trows', String(g.rows));
    });
  }

  let layoutTimer = 0;
  function layoutSoon() {
    if (!layoutTimer) layoutTimer = requestAnimationFrame(layout);
  }

  // ---------- the stations ----------

  let cards = [];
  let cardsShape = '';

  function drawStations(stations) {
    const shape = stations.map((s) => str(s.name)).join('\n') + '|' + stations.length;
    if (shape !== cardsShape) {
      cardsShape = shape;
      cards = stations.map(() => buildCard());
      $('stations').replaceChildren(...cards.map((c) => c.root));
      layoutSoon();
    }
    stations.forEach((s, i) => updateCard(cards[i], s));
    setShown($('stations-none'), stations.length === 0);
  }

  // ---------- the header ----------

  function drawTotals(totals) {
    const c = countsOf(totals);
    setText($('total-passed'), I18n.number(c.passed));
    setText($('total-failed'), I18n.number(c.failed));
    setText($('total-current'), I18n.number(c.current));
    setText($('total-yield'), yieldText(c));
  }

  function drawDatabase(database) {
    const ok = database.ok === true;
    const since = when(database.since);
    setFlag($('database'), 'down', !ok);
    setText($('database-text'), t(ok ? 'line.database.ok' : 'line.database.downShort'));
    const banner = $('database-banner');
    setShown(banner, !ok);
    if (!ok) {
      setClipped(banner, since ? t('line.database.down', { time: since }) : t('line.database.downNoTime'));
    }
  }

  // ---------- the side panels ----------

  // A panel is drawn again only when what it shows changed.
  function drawList(id, items, key, make) {
    const node = $(id);
    key = I18n.lang + '|' + key;
    if (node.dataset.key !== key) {
      node.dataset.key = key;
      node.replaceChildren(...items.map(make));
    }
    setShown($(id + '-none'), items.length === 0);
  }

  function cell(text, className, title) {
    const td = el('td', className, text);
    if (title !== undefined) td.title = title;
    return td;
  }

  function figureCells(c) {
    return [cell(I18n.number(c.passed), 'num passed'), cell(I18n.number(c.failed), 'num failed'),
      cell(I18n.number(c.current), 'num current'), cell(yieldText(c), 'num yield', resultsTitle(c))];
  }

  function lotRow(item) {
    const lot = str(item.lot);
    const tr = el('tr');
    const last = when(item.lastEnded);
    const name = cell(lot, 'data', last ? t('line.lots.lotTitle', { lot, time: last }) : lot);
    const link = el('a', 'csv', t('line.lots.csv'));
    link.href = '/api/lot.csv?lot=' + encodeURIComponent(lot);
    link.setAttribute('download', ''); // the server names the file; the page stays
    link.title = t('line.lots.csvTitle', { lot });
    const csv = el('td', 'csv-cell');
    csv.append(link);
    tr.append(name, ...figureCells(countsOf(item)), csv);
    return tr;
  }

  function imageRow(item) {
    const name = str(item.image), hash = str(item.sha256);
    const tr = el('tr');
    tr.append(cell(name, 'data', name), cell(hash.slice(0, 8), 'mono data', hash ? t('image.sha256', { hash }) : ''),
      ...figureCells(countsOf(item)));
    return tr;
  }

  // A hint's words without a record's facts: its places left as "…".
  function reasonText(r) {
    const hint = str(r.hint);
    if (!hint || !I18n.has('hint.' + hint)) return str(r.message);
    const facts = {};
    for (const m of t('hint.' + hint).matchAll(/\{([A-Za-z0-9_.-]+)\}/g)) facts[m[1]] = '\u2026';
    return t('hint.' + hint, facts);
  }

  function placeText(w) {
    return str(w.station) + ' \u00B7 ' + str(w.slot) + ' \u00D7' + I18n.number(num(w.count, 0));
  }

  function reasonItem(r) {
    const li = el('li', 'reason');
    const count = num(r.count, 0);
    const text = reasonText(r);
    const message = str(r.message);
    li.append(el('span', 'reason-count', I18n.number(count)));
    const body = el('div', 'reason-body');
    const main = el('div', 'reason-text data', text);
    main.title = message && message !== text ? text + '\n' + message : text;
    body.append(main);
    // Where it clusters: a cable or an adapter fails in one slot again and again.
    const where = list(r.where).sort((a, b) => num(b.count, 0) - num(a.count, 0));
    if (where.length) {
      let most = t('line.reasons.mostly', { places: where.slice(0, 3).map(placeText).join(', ') });
      if (where.length > 3) most += ' ' + t('line.reasons.more', { count: where.length - 3 });
      const line = el('div', 'reason-where', most);
      line.title = where.map(placeText).join('\n');
      body.append(line);
    }
    li.append(body);
    li.title = t('line.reasons.countTitle', { count });
    return li;
  }

  function repeatRecord(r) {
    const li = el('li', 'repeat-record');
    const result = str(r.result);
    const place = el('span', 'repeat-place data', str(r.station) + ' \u00B7 ' + str(r.slot));
    place.title = place.textContent;
    const word = el('span', 'repeat-result k-' + kindOf(result), result ? stateWord(result) : '');
    li.append(place, word, el('span', 'repeat-when', when(r.endedAt)));
    return li;
  }

  function repeatItem(r) {
    const li = el('li', 'repeat');
    const head = el('div', 'repeat-head');
    const serial = el('span', 'repeat-serial mono data', str(r.unitSerial));
    serial.title = str(r.unitSerial);
    head.append(serial, el('span', 'repeat-count', t('line.repeats.count', { count: num(r.count, 0) })));
    const records = el('ul', 'repeat-records');
    records.append(...list(r.records).map(repeatRecord));
    li.append(head, records);
    return li;
  }

  function drawPanels(state) {
    const lots = list(state.lots), images = list(state.images);
    const reasons = list(state.reasons), repeats = list(state.repeats);
    // Times shown in them change from "today" to a day at midnight.
    const day = new Date(nowMs()).toDateString();
    drawList('lots', lots, day + JSON.stringify(lots), lotRow);
    drawList('images', images, JSON.stringify(images), imageRow);
    drawList('reasons', reasons, JSON.stringify(reasons), reasonItem);
    drawList('repeats', repeats, day + JSON.stringify(repeats), repeatItem);
  }

  // ---------- the whole state ----------

  let current = null;
  let problem = null; // the error line's key and params, redrawn in another language

  function showProblem(key, params) {
    problem = key ? { key, params } : null;
    setShown($('error-line'), !!problem);
    if (problem) setClipped($('error-line'), t(problem.key, problem.params));
  }

  function drawAll(state) {
    drawTotals(state.totals);
    drawDatabase(obj(state.database));
    drawStations(list(state.stations));
    drawPanels(state);
    const now = dateOf(state.now);
    setText($('updated'), now ? t('line.updated', { time: when(now) }) : '');
  }

  function receive(text) {
    let state;
    try {
      state = JSON.parse(text);
    } catch (e) {
      showProblem('line.error.unreadable');
      return;
    }
    if (!state || typeof state !== 'object' || Array.isArray(state)) {
      showProblem('line.error.unreadable');
      return;
    }
    if (state.version !== STATE_VERSION) {
      showProblem('line.error.version', { version: str(state.version), known: String(STATE_VERSION) });
    } else {
      showProblem(null);
    }
    const now = dateOf(state.now);
    clockOffset = now ? now.getTime() - Date.now() : 0;
    current = state;
    drawAll(state);
  }

  // Ages go on while no state comes.
  function tick() {
    if (!current) return;
    list(current.stations).forEach((s, i) => {
      if (cards[i]) drawHeard(cards[i], s);
    });
  }

  // ---------- the connection ----------

  function setConnected(on) {
    setShown($('banner'), !on);
    document.body.classList.toggle('stale', !on && current !== null);
  }

  // Another language: every text again; the tiles size their words again.
  function redraw() {
    if (problem) showProblem(problem.key, problem.params);
    if (current) drawAll(current);
    for (const c of cards) c.laidOut = '';
    layoutSoon(); // its words are of other widths
  }

  async function start() {
    await I18n.load();
    I18n.bindSelector($('language'));
    I18n.onChange(redraw);
    if (typeof ResizeObserver === 'function') {
      new ResizeObserver(() => {
        for (const c of cards) c.laidOut = '';
        layoutSoon();
      }).observe($('stations-box'));
    } else {
      window.addEventListener('resize', layoutSoon);
    }
    StateStream.open(receive, setConnected);
    setInterval(tick, 1000);
  }

  if (document.readyState === 'loading') document.addEventListener('DOMContentLoaded', start);
  else start();
}());
